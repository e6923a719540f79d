#include "sheet_draw.hpp"

#include "cairo_handles.hpp"
#include "page.hpp"
#include "render.hpp"
#include "utf8.hpp"

#include <pango/pangocairo.h>

#include <numbers>
#include <stdexcept>
#include <string>

namespace printsvc::plots::detail {

namespace {

constexpr double mm_per_pt = 25.4 / 72;
constexpr const char* serif_families = "DejaVu Serif,Liberation Serif,Times New Roman,serif";

void check(cairo_t* cr) {
  if (const cairo_status_t status = cairo_status(cr); status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("drawing the sheet failed: ") + cairo_status_to_string(status));
}

void draw_line(cairo_t* cr, const sheet_line& line) {
  if (line.points.size() < 2) return;
  cairo_move_to(cr, line.points.front().x, line.points.front().y);
  for (std::size_t i = 1; i < line.points.size(); ++i) cairo_line_to(cr, line.points[i].x, line.points[i].y);
  if (line.closed) cairo_close_path(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  if (line.filled) cairo_fill_preserve(cr);
  cairo_set_line_width(cr, line.width_mm);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
  cairo_stroke(cr);
}

void draw_text(cairo_t* cr, const sheet_text& text) {
  if (text.text.empty()) return;
  const gobject_ptr<PangoLayout> layout(create_thread_layout(cr));
  // Unhinted metrics, as on the figure: the same widths in the PDF and the picture.
  const font_options_ptr options(cairo_font_options_create());
  cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
  PangoContext* context = pango_layout_get_context(layout.get());
  pango_cairo_context_set_font_options(context, options.get());
  // Units here are millimetres: glyph positions rounded to whole units would space letters apart.
  pango_context_set_round_glyph_positions(context, FALSE);
  pango_layout_context_changed(layout.get());

  const font_description_ptr font(pango_font_description_new());
  pango_font_description_set_family(font.get(), serif_families);
  pango_font_description_set_weight(font.get(), text.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font.get(), text.size_pt * mm_per_pt * PANGO_SCALE);
  pango_layout_set_font_description(layout.get(), font.get());
  const std::string drawn = drawable_text(text.text);
  pango_layout_set_text(layout.get(), drawn.data(), static_cast<int>(drawn.size()));
  pango_layout_set_single_paragraph_mode(layout.get(), TRUE);

  PangoRectangle logical{};
  pango_layout_get_extents(layout.get(), nullptr, &logical);
  if (text.max_width_mm > 0 && logical.width > text.max_width_mm * PANGO_SCALE) {
    pango_layout_set_width(layout.get(), static_cast<int>(text.max_width_mm * PANGO_SCALE));
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
    pango_layout_get_extents(layout.get(), nullptr, &logical);
  }
  const double w = logical.width / double(PANGO_SCALE), h = logical.height / double(PANGO_SCALE);
  const double dx = text.anchor == text_anchor::left ? 0 : text.anchor == text_anchor::centre ? -w / 2 : -w;

  cairo_save(cr);
  cairo_translate(cr, text.at.x, text.at.y);
  cairo_rotate(cr, -text.rotation_deg * std::numbers::pi / 180);
  pango_cairo_update_layout(cr, layout.get());
  cairo_move_to(cr, dx - logical.x / double(PANGO_SCALE), -logical.y / double(PANGO_SCALE) - h / 2);
  cairo_set_source_rgb(cr, 0, 0, 0);
  pango_cairo_show_layout(cr, layout.get());
  cairo_restore(cr);
}

}  // namespace

void draw_sheet_furniture(cairo_t* cr, const sheet_page& page, deadline until) {
  for (const auto& line : page.lines) draw_line(cr, line);
  for (std::size_t i = 0; i < page.texts.size(); ++i) {
    if (i % 64 == 0) until.check();
    draw_text(cr, page.texts[i]);
  }
  check(cr);
}

void draw_sheet_figure(cairo_t* cr, const plan& p, const rect_mm& figure, deadline until) {
  cairo_save(cr);
  // The sheet's frame is the figure's limit: labels standing out of it would run into the ticks.
  cairo_rectangle(cr, figure.left, figure.top, figure.width, figure.height);
  cairo_clip(cr);
  cairo_translate(cr, figure.left, figure.top);
  cairo_scale(cr, 25.4 / dpi, 25.4 / dpi);
  draw_page(cr, p, until);
  cairo_restore(cr);
  check(cr);
}

}  // namespace printsvc::plots::detail
