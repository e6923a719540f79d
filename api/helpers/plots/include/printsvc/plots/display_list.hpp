#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace printsvc::plots {

/// A position on the ground, EPSG:26332 metres (easting, northing).
struct point {
  double x = 0;
  double y = 0;
};

struct rgba {
  double r = 0, g = 0, b = 0, a = 1;
};

/// The ground rectangle shown on the page.
struct plot_window {
  double xmin, xmax, ymin, ymax;
};

/// Everything the page maths decides before anything is drawn.
struct page_setup {
  int scale;                 ///< denominator N of 1:N
  double target_width_mm;    ///< nominal printed size of the page area
  double target_height_mm;
  double width_in;           ///< the same in inches; the raster is this times 300 dpi
  double height_in;
  plot_window window;
  double norm;               ///< paper millimetres per ground metre (1000 / scale)
  int fontsize;              ///< base label size in points
};

/// Open polyline in ground coordinates (roads, boundary sides).
struct line_shape {
  std::vector<point> points;
  rgba colour;
  double width_pt = 0;
};

/// Filled polygon through an open ring (the closing side is implied).
struct polygon_shape {
  std::vector<point> ring;
  rgba fill;
  rgba edge;
  double edge_width_pt = 0;
};

/// Filled circle of a fixed paper size, outlined in its own colour by an edge centred on the
/// circle: it covers `diameter_pt` + `edge_width_pt` across.
struct marker_shape {
  point at;
  rgba colour;
  double diameter_pt = 0;
  double edge_width_pt = 0;
};

enum class font_weight { normal = 400, medium = 500, bold = 700 };

/// Text centred on `anchor` and rotated about it, anticlockwise in degrees.
struct text_shape {
  point anchor;
  std::string text;
  double size_pt = 0;
  font_weight weight = font_weight::normal;
  double rotation_deg = 0;
};

enum class item_kind {
  road,
  parcel,
  selected_parcel,
  boundary_side,
  beacon,
  beacon_name,
  side_length,
  bearing_degrees,
  bearing_minutes,
  parcel_name,
  parcel_area,
};

/// One drawing operation. Items are drawn in ascending `zorder`, in list order within a
/// z-order. Geometry is clipped to the plot window; text is never clipped.
struct display_item {
  item_kind kind;
  int zorder;
  std::variant<line_shape, polygon_shape, marker_shape, text_shape> shape;
};

std::string_view to_string(item_kind kind);

}  // namespace printsvc::plots
