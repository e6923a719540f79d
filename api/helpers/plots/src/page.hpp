#pragma once

// Page maths: the A4 landscape page area, the ground window it shows and the text size.

#include <printsvc/plots/display_list.hpp>

namespace printsvc::plots::detail {

inline constexpr double page_buffer_m = 15;  // ground added around the parcel for the scale choice
inline constexpr double paper_width_mm = 297;
inline constexpr double paper_height_mm = 210;
inline constexpr double margin_mm = 10;
inline constexpr double usable_w_mm = paper_width_mm - 2 * margin_mm;
inline constexpr double usable_h_mm = paper_height_mm - 2 * margin_mm;
inline constexpr double dpi = 300;

/// Base label size in points for a scale: 10 at 1:250, one point less per doubling, at least 4.
int font_size_for_scale(int scale);

/// Parcel mode: the full page area at 1:`scale`, centred on `centre`, so the plan prints at scale.
page_setup parcel_page(point centre, int scale);

/// Bounding-box mode: the window is the box (EPSG:26332 corners); the page area takes the box's
/// proportions inside the usual frame. `scale` (the standard scale the box fits) sets text sizes.
/// Throws plan_input_error "Bounding box dimensions must be positive." for an empty box.
page_setup box_page(plot_window box);

}  // namespace printsvc::plots::detail
