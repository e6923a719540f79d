#pragma once

// Page maths of a full plan sheet: where the figure and its furniture go on A4 landscape, the
// scale bar's divisions, the grid ticks on the figure's frame and the beacon table's pages.
// Pure functions in sheet millimetres (origin at the top left corner, y down); what they lay
// out is drawn by the Cairo and SVG edges.

#include <printsvc/plots/plots.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace printsvc::plots::detail {

struct rect_mm {
  double left, top, width, height;
  double right() const { return left + width; }
  double bottom() const { return top + height; }
};

/// Whether the two rectangles share any area (touching edges do not).
bool overlaps(const rect_mm& a, const rect_mm& b);

/// Where everything goes on the first page. The figure is centred in a slot of the full page
/// area (265.92 x 152 mm) with room around it for the tick labels; the furniture sits in a row
/// under it.
struct sheet_frame {
  rect_mm border;
  rect_mm figure;
  rect_mm title;
  rect_mm north_arrow;
  rect_mm scale_bar;
  rect_mm table;
};
sheet_frame frame_sheet(double figure_width_mm, double figure_height_mm);

/// A scale bar of `divisions` equal steps of `step_m` ground metres, each `step_mm` on paper.
struct scale_bar_divisions {
  double step_m;
  int divisions;
  double step_mm;
};
/// The longest bar of four steps in the 1-2-5 series (1, 2, 5, 10, 20 ... metres) that is at
/// most `max_length_mm` long at 1:scale; fractions of a metre (0.5, 0.2 ...) where a bar of whole
/// metres would not fit. Throws std::invalid_argument for a scale or length that is not positive.
scale_bar_divisions divide_scale_bar(int scale, double max_length_mm);

/// A grid line crossing the figure's frame: its coordinate and its distance from the frame's
/// low end (west or south) on paper.
struct grid_tick {
  double value_m;
  double offset_mm;
};
/// Ticks at whole multiples of the smallest 1-2-5 interval at least `min_spacing_mm` apart on
/// paper, over the ground range [min_m, max_m] shown at 1:scale, leaving out those closer than
/// `end_clearance_mm` to either end (their labels would run into the corner's).
std::vector<grid_tick> grid_ticks(double min_m, double max_m, int scale, double min_spacing_mm,
                                  double end_clearance_mm);

/// The rows of a table split over pages: `first_page` rows fit on the sheet, `next_pages` on
/// each continuation page. When all rows fit the sheet, one range; otherwise the sheet keeps
/// one row less for the "continued" line.
struct row_range {
  std::size_t first;
  std::size_t count;
};
std::vector<row_range> paginate_rows(std::size_t rows, std::size_t first_page, std::size_t next_pages);

/// `text` cut to at most `max_chars` characters, the last of them an ellipsis when cut.
std::string fit_chars(std::string_view text, std::size_t max_chars);

/// Characters that surely fit `width_mm` at `size_pt` (a wide serif letter is about 0.75 em).
std::size_t chars_fitting(double width_mm, double size_pt);

/// What the furniture of one page is made of, in sheet millimetres.
struct sheet_line {
  std::vector<point> points;  ///< x right, y down
  double width_mm = 0.2;
  bool closed = false;
  bool filled = false;  ///< filled black (closed shapes only)
};

enum class text_anchor { left, centre, right };

struct sheet_text {
  point at;  ///< the anchor; the text is centred on it vertically
  std::string text;
  double size_pt = 7;
  bool bold = false;
  text_anchor anchor = text_anchor::left;
  double rotation_deg = 0;  ///< anticlockwise
  double max_width_mm = 0;  ///< the drawing cuts the text to this width (0: no limit)
};

struct sheet_page {
  std::vector<sheet_line> lines;
  std::vector<sheet_text> texts;
};

/// The furniture of the sheet of `page` (the plan's page set-up at true scale): the first page,
/// then, when `continuation_pages` and the beacons do not all fit its table, a page for each
/// further part of the table. Without continuation pages, the first page counts the rest.
std::vector<sheet_page> compose_sheet(const page_setup& page, const sheet_facts& facts, bool continuation_pages);

}  // namespace printsvc::plots::detail
