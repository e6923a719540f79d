#pragma once

// Clipping in page pixels before anything reaches Cairo: its fixed-point rasteriser misbehaves
// on coordinates hundreds of thousands of pixels away, which a small bounding box can produce.

#include <vector>

namespace printsvc::plots::detail {

struct px_point {
  double x, y;
};

struct px_rect {
  double left, top, right, bottom;
};

/// The part of a polygon inside `r` (Sutherland-Hodgman); empty when nothing is inside.
std::vector<px_point> clip_polygon(const std::vector<px_point>& ring, const px_rect& r);

/// The pieces of a polyline inside `r`, in order (Liang-Barsky per segment, joined where they meet).
std::vector<std::vector<px_point>> clip_polyline(const std::vector<px_point>& line, const px_rect& r);

}  // namespace printsvc::plots::detail
