#pragma once

// Vector output of the display list: PDF pages through Cairo, SVG written directly (Cairo's SVG
// surface turns text into outlines; on a plan the texts must stay texts).

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots::detail {

inline constexpr double a4_long_mm = 297;
inline constexpr double a4_short_mm = 210;

/// The page area a vector page prints: the plan's window at exactly 1:scale. In parcel mode this
/// is the page set-up itself; a bounding box's raster is stretched to the frame, so on paper it
/// takes its true size at the scale instead (it fits: the scale was chosen for the box).
page_setup true_scale_page(const page_setup& page);

/// Where that page area sits on the A4 landscape sheet: centred, in millimetres from the
/// sheet's top left corner.
struct sheet_offset {
  double left_mm;
  double top_mm;
};
sheet_offset centred_on_a4(const page_setup& page);

}  // namespace printsvc::plots::detail
