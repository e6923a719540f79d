#pragma once

// The Cairo backend: draws a plan's display list on a 300 dpi page and crops it to the page plus
// any label standing out of it.

#include "cairo_handles.hpp"
#include "deadline.hpp"
#include "pixel_buffer.hpp"

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots::detail {

/// The drawn plan as premultiplied ARGB (cairo ARGB32: one native-endian 0xAARRGGBB word per
/// pixel), transparent where nothing is drawn; the picture is this laid over white.
struct raster {
  pixel_buffer pixels;  // declared first: the surface over it goes first
  surface_ptr surface;
  int width;   // the picture's; the surface may be a column and a row larger
  int height;
  int stride;  // bytes per row
};

/// Throws std::invalid_argument unless the page area and its window have a finite positive size.
void check_page(const page_setup& page);

/// Draws `p`; throws render_timeout_error once `until` has passed (checked between items).
raster draw_plan(const plan& p, deadline until = deadline::none());

/// Lays `p` out on `cr` in page pixels (300 per inch, origin at the page area's top left corner),
/// the page area's white first, then every item in drawing order; for vector surfaces, whose
/// caller sets the transform from pixels to its own units. Throws render_timeout_error once
/// `until` has passed.
void draw_page(cairo_t* cr, const plan& p, deadline until);

/// `image` laid over white in a new opaque surface (cairo RGB24), composited by Cairo: how
/// pictures were flattened before the PNG encoder did it itself, kept as its reference.
surface_ptr flatten_on_white(const raster& image);

// A text layout for `cr` on this thread's own font map (the one the figure uses), not on
// Pango's process-wide default map, whose fontconfig state is never given back.
PangoLayout* create_thread_layout(cairo_t* cr);

}  // namespace printsvc::plots::detail
