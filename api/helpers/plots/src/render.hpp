#pragma once

// The Cairo backend: draws a plan's display list on a 300 dpi page and crops it to the page plus
// any label standing out of it.

#include "cairo_handles.hpp"
#include "deadline.hpp"

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots::detail {

/// An opaque RGB picture (cairo RGB24: one native-endian 0x00RRGGBB word per pixel).
struct raster {
  surface_ptr surface;
  int width;
  int height;
};

/// Draws `p`; throws render_timeout_error once `until` has passed (checked between items).
raster draw_plan(const plan& p, deadline until = deadline::none());

}  // namespace printsvc::plots::detail
