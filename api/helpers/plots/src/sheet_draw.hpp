#pragma once

// The Cairo edge of a full sheet: furniture and figure on a context whose user units are sheet
// millimetres (origin at the top left corner), for PDF pages and the A4 picture alike.

#include "deadline.hpp"
#include "sheet_layout.hpp"

#include <cairo.h>

namespace printsvc::plots::detail {

/// Draws the page's lines and texts; texts wider than their limit are cut with an ellipsis.
void draw_sheet_furniture(cairo_t* cr, const sheet_page& page, deadline until);

/// Draws `p` (at true scale) into `figure`, clipped to it, the page area's white first.
void draw_sheet_figure(cairo_t* cr, const plan& p, const rect_mm& figure, deadline until);

}  // namespace printsvc::plots::detail
