#include "render.hpp"

#include "clip.hpp"
#include "page.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <new>
#include <numbers>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace printsvc::plots::detail {

namespace {

constexpr double px_per_pt = dpi / 72;
constexpr double max_overhang_px = 2 * dpi;  // two inches, far more than any label needs
constexpr double geometry_margin_px = 16;     // wider than any line, so cut ends stay off the page
constexpr const char* serif_families = "DejaVu Serif,Liberation Serif,Times New Roman,serif";

void check(cairo_t* cr) {
  if (const cairo_status_t status = cairo_status(cr); status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("drawing the plan failed: ") + cairo_status_to_string(status));
}

void check(cairo_surface_t* s) {
  if (const cairo_status_t status = cairo_surface_status(s); status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("plan surface: ") + cairo_status_to_string(status));
}

void set_colour(cairo_t* cr, const rgba& c) { cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a); }

// Ground metres (y up) to page pixels (y down); the window fills the page at equal aspect.
struct page_transform {
  double page_w, page_h;  // pixels, fractional
  double px_per_m, x0, y0;
  plot_window window;

  explicit page_transform(const page_setup& page)
      : page_w(page.width_in * dpi), page_h(page.height_in * dpi), window(page.window) {
    const double ww = window.xmax - window.xmin, wh = window.ymax - window.ymin;
    px_per_m = std::min(page_w / ww, page_h / wh);
    x0 = (page_w - ww * px_per_m) / 2;
    y0 = (page_h - wh * px_per_m) / 2;
  }
  px_point device(const point& p) const { return {x0 + (p.x - window.xmin) * px_per_m, y0 + (window.ymax - p.y) * px_per_m}; }
  std::vector<px_point> device(const std::vector<point>& pts) const {
    std::vector<px_point> out;
    out.reserve(pts.size());
    for (const point& p : pts) out.push_back(device(p));
    return out;
  }
  px_rect page(double margin) const { return {-margin, -margin, page_w + margin, page_h + margin}; }
};

void trace(cairo_t* cr, const std::vector<px_point>& pts) {
  cairo_move_to(cr, pts.front().x, pts.front().y);
  for (std::size_t i = 1; i < pts.size(); ++i) cairo_line_to(cr, pts[i].x, pts[i].y);
}

// The fonts and text settings of a renderer thread, shared by all its plans: a font map starts
// fontconfig (and a thread) when created, which cost more than drawing a plan's labels.
struct text_setup {
  gobject_ptr<PangoFontMap> fonts;
  gobject_ptr<PangoContext> context;
  font_options_ptr options;

  text_setup() {
    fonts.reset(PANGO_FONT_MAP(pango_cairo_font_map_new()));
    context.reset(fonts ? pango_font_map_create_context(fonts.get()) : nullptr);
    if (!fonts || !context) throw std::bad_alloc();
    // Unhinted, scalable metrics: the same layout on every thread and at every angle.
    options.reset(cairo_font_options_create());
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(context.get(), options.get());
  }
};

const text_setup& thread_text_setup() {
  thread_local const text_setup setup;
  return setup;
}

class painter {
 public:
  painter(cairo_t* cr, const page_setup& page, const text_setup& text) : cr_(cr), tf_(page), text_(text) {
    cairo_set_font_options(cr_, text_.options.get());
  }

  void background() {
    cairo_rectangle(cr_, 0, 0, tf_.page_w, tf_.page_h);
    cairo_set_source_rgb(cr_, 1, 1, 1);
    cairo_fill(cr_);
  }

  void draw(const display_item& item) {
    std::visit([this](const auto& shape) { draw_shape(shape); }, item.shape);
    check(cr_);
  }

 private:
  // Geometry is clipped to the page area, like a plot's axes clip their artists.
  void clip_to_page() {
    cairo_rectangle(cr_, 0, 0, tf_.page_w, tf_.page_h);
    cairo_clip(cr_);
  }

  // Geometry reaches Cairo pre-clipped to just beyond the page, so no coordinate is far away;
  // Cairo's own clip then cuts it exactly at the page edge.
  px_rect geometry_bounds() const { return tf_.page(geometry_margin_px); }

  void draw_shape(const line_shape& line) {
    const auto pieces = clip_polyline(tf_.device(line.points), geometry_bounds());
    if (pieces.empty()) return;
    cairo_save(cr_);
    clip_to_page();
    for (const auto& piece : pieces) trace(cr_, piece);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_SQUARE);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_width(cr_, line.width_pt * px_per_pt);
    set_colour(cr_, line.colour);
    cairo_stroke(cr_);
    cairo_restore(cr_);
  }

  void draw_shape(const polygon_shape& polygon) {
    const auto ring = clip_polygon(tf_.device(polygon.ring), geometry_bounds());
    if (ring.size() < 3) return;
    cairo_save(cr_);
    clip_to_page();
    trace(cr_, ring);
    cairo_close_path(cr_);
    set_colour(cr_, polygon.fill);
    cairo_fill_preserve(cr_);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_MITER);
    cairo_set_line_width(cr_, polygon.edge_width_pt * px_per_pt);
    set_colour(cr_, polygon.edge);
    cairo_stroke(cr_);
    cairo_restore(cr_);
  }

  void draw_shape(const marker_shape& marker) {
    const px_point at = tf_.device(marker.at);
    const double radius = marker.diameter_pt * px_per_pt / 2, edge = marker.edge_width_pt * px_per_pt;
    const px_rect bounds = tf_.page(radius + edge / 2);
    if (at.x < bounds.left || at.x > bounds.right || at.y < bounds.top || at.y > bounds.bottom) return;
    cairo_save(cr_);
    clip_to_page();
    cairo_new_sub_path(cr_);
    cairo_arc(cr_, at.x, at.y, radius, 0, 2 * std::numbers::pi);
    set_colour(cr_, marker.colour);
    cairo_fill_preserve(cr_);
    if (edge > 0) {
      cairo_set_line_width(cr_, edge);
      cairo_stroke(cr_);
    }
    cairo_new_path(cr_);
    cairo_restore(cr_);
  }

  // What a label is centred on vertically, in pixels below its layout's top edge: from the top of
  // its tallest glyphs to its lowest descent, and at least as far as an ascender and a descender
  // ("lp") reach from its first and last baselines, so labels with and without them keep one
  // baseline. Pango's logical box also holds the font's room above its tallest letters, which
  // would set every label some 7% of its size too low.
  struct line_box {
    double top, bottom;
  };
  line_box line_box_of(PangoLayout* layout, const PangoFontDescription* font, const PangoRectangle& ink) const {
    const gobject_ptr<PangoLayout> letters(pango_layout_new(text_.context.get()));
    pango_layout_set_font_description(letters.get(), font);
    pango_layout_set_text(letters.get(), "lp", -1);
    PangoRectangle reach{};
    pango_layout_get_extents(letters.get(), &reach, nullptr);
    const int letters_baseline = pango_layout_get_baseline(letters.get());

    PangoLayoutIter* lines = pango_layout_get_iter(layout);
    const int first_baseline = pango_layout_iter_get_baseline(lines);
    while (pango_layout_iter_next_line(lines)) {
    }
    const int last_baseline = pango_layout_iter_get_baseline(lines);
    pango_layout_iter_free(lines);

    int top = first_baseline - (letters_baseline - reach.y);
    int bottom = last_baseline + (reach.y + reach.height - letters_baseline);
    if (ink.height > 0) {
      top = std::min(top, ink.y);
      bottom = std::max(bottom, ink.y + ink.height);
    }
    return {top / double(PANGO_SCALE), bottom / double(PANGO_SCALE)};
  }

  // Centred on the anchor, rotated about it; never clipped.
  void draw_shape(const text_shape& text) {
    if (text.text.empty()) return;
    const font_description_ptr font(pango_font_description_new());
    pango_font_description_set_family(font.get(), serif_families);
    pango_font_description_set_weight(font.get(), static_cast<PangoWeight>(text.weight));
    pango_font_description_set_absolute_size(font.get(), text.size_pt * px_per_pt * PANGO_SCALE);

    const gobject_ptr<PangoLayout> layout(pango_layout_new(text_.context.get()));
    pango_layout_set_font_description(layout.get(), font.get());
    // Plans built in code (not read from records) may carry what Pango or Cairo refuse.
    const std::string drawn = drawable_text(text.text);
    pango_layout_set_text(layout.get(), drawn.data(), static_cast<int>(drawn.size()));
    PangoRectangle ink{}, logical{};
    pango_layout_get_extents(layout.get(), &ink, &logical);
    const double w = logical.width / double(PANGO_SCALE), h = logical.height / double(PANGO_SCALE);
    const line_box box = line_box_of(layout.get(), font.get(), ink);

    // Text is not clipped, but a label wholly beyond the crop limit is not drawn at all.
    const px_point at = tf_.device(text.anchor);
    const px_rect bounds = tf_.page(max_overhang_px + std::hypot(w, h) / 2);
    if (!(at.x >= bounds.left && at.x <= bounds.right && at.y >= bounds.top && at.y <= bounds.bottom)) return;
    cairo_save(cr_);
    cairo_translate(cr_, at.x, at.y);
    cairo_rotate(cr_, -text.rotation_deg * std::numbers::pi / 180);  // anticlockwise on paper, y down
    cairo_move_to(cr_, -logical.x / double(PANGO_SCALE) - w / 2, -(box.top + box.bottom) / 2);
    cairo_set_source_rgb(cr_, 0, 0, 0);
    pango_cairo_show_layout(cr_, layout.get());
    cairo_restore(cr_);
  }

  cairo_t* cr_;
  page_transform tf_;
  const text_setup& text_;
};

// Ink extents of what `draw` puts on a fresh recording; none when it draws nothing.
template <typename Draw>
std::optional<px_rect> ink_of(const page_setup& page, const text_setup& text, Draw draw) {
  const surface_ptr recording(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr));
  check(recording.get());
  {
    const cairo_ptr cr(cairo_create(recording.get()));
    painter paint(cr.get(), page, text);
    draw(paint);
  }
  double x = 0, y = 0, w = 0, h = 0;
  cairo_recording_surface_ink_extents(recording.get(), &x, &y, &w, &h);
  if (!(w > 0 && h > 0)) return std::nullopt;
  return px_rect{x, y, x + w, y + h};
}

// Makes the reused buffer transparent where the page's white does not cover it whole: the
// margins left for labels, and the page's edge pixels, which the white covers only in part. The
// page's inside is painted opaque first thing, whatever the buffer held, so clearing it too
// would only cost time (some 3 ms for a page).
void clear_around_page(raster& image, int page_x, int page_y, double page_w, double page_h) {
  const auto row = [&](int y) { return image.pixels.data() + static_cast<std::size_t>(y) * image.stride; };
  const int full_x0 = std::clamp(page_x, 0, image.width);
  const int full_x1 = std::clamp(page_x + static_cast<int>(std::floor(page_w)), full_x0, image.width);
  const int full_y0 = std::clamp(page_y, 0, image.height);
  const int full_y1 = std::clamp(page_y + static_cast<int>(std::floor(page_h)), full_y0, image.height);
  for (int y = 0; y < image.height; ++y) {
    if (y < full_y0 || y >= full_y1 || full_x1 == full_x0) {
      std::memset(row(y), 0, static_cast<std::size_t>(image.stride));
      continue;
    }
    std::memset(row(y), 0, static_cast<std::size_t>(full_x0) * 4);
    std::memset(row(y) + static_cast<std::size_t>(full_x1) * 4, 0,
                static_cast<std::size_t>(image.stride) - static_cast<std::size_t>(full_x1) * 4);
  }
}

}  // namespace

void check_page(const page_setup& page) {
  const auto& w = page.window;
  if (!(page.width_in > 0 && page.height_in > 0 && w.xmax > w.xmin && w.ymax > w.ymin) ||
      !std::isfinite(page.width_in * page.height_in * (w.xmax - w.xmin) * (w.ymax - w.ymin)))
    throw std::invalid_argument("plan page and window must have a finite positive size");
}

std::vector<std::size_t> drawing_order(const plan& p) {
  std::vector<std::size_t> order(p.items.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return p.items[a].zorder < p.items[b].zorder; });
  return order;
}

void draw_page(cairo_t* cr, const plan& p, deadline until) {
  check_page(p.page);
  painter paint(cr, p.page, thread_text_setup());
  paint.background();
  for (const std::size_t i : drawing_order(p)) {
    until.check();
    paint.draw(p.items[i]);
  }
}

raster draw_plan(const plan& p, deadline until) {
  check_page(p.page);
  const std::vector<std::size_t> order = drawing_order(p);
  const text_setup& text = thread_text_setup();

  // The crop (page plus labels standing out of it) is known only once the labels are set. Each
  // label is recorded apart and only its extents kept, so memory does not grow with the texts.
  // Geometry is clipped to the page, which the background covers: it cannot widen the crop.
  const double page_w = p.page.width_in * dpi, page_h = p.page.height_in * dpi;
  px_rect inked{0, 0, page_w, page_h};  // the page's white, exactly
  for (const std::size_t i : order) {
    if (!std::holds_alternative<text_shape>(p.items[i].shape)) continue;
    until.check();
    const auto label = ink_of(p.page, text, [&](painter& paint) { paint.draw(p.items[i]); });
    if (!label) continue;
    inked = {std::min(inked.left, label->left), std::min(inked.top, label->top),
             std::max(inked.right, label->right), std::max(inked.bottom, label->bottom)};
  }

  // Labels may stand out of the page, but a beacon far outside a caller's bounding box must not
  // make the picture (and its memory) unbounded: the crop ends some way beyond the page.
  const double left = std::max(inked.left, -max_overhang_px), top = std::max(inked.top, -max_overhang_px);
  const double right = std::min(inked.right, page_w + max_overhang_px);
  const double bottom = std::min(inked.bottom, page_h + max_overhang_px);
  // The picture starts at the pixel holding the extent's top left corner and is the extent's size
  // cut to whole pixels, like any raster of a size in inches: the 1:1000 page area (3140.8 x
  // 1795.3 px) gives 3140 x 1795. It is drawn on a surface reaching the extent's last pixels,
  // which the picture then leaves out: geometry cut by the page's edge inside a pixel is drawn
  // alike on every surface only while Cairo's clip lies wholly on it.
  const int x0 = static_cast<int>(std::floor(left)), y0 = static_cast<int>(std::floor(top));
  const int surface_w = static_cast<int>(std::ceil(right)) - x0, surface_h = static_cast<int>(std::ceil(bottom)) - y0;
  const int width = std::max(1, static_cast<int>(right - left)), height = std::max(1, static_cast<int>(bottom - top));

  // Drawn item by item, so that the time limit is checked between items: replaying a recording
  // is one call that cannot be stopped. The items go on a transparent layer that is laid over
  // white when the picture is encoded, as Cairo composites a replayed recording, so antialiased
  // edges round as they did when the whole plan was replayed; drawn straight onto white they
  // would round differently.
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, surface_w);
  if (stride <= 0) throw std::runtime_error("plan surface: invalid width");
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(surface_h);
  raster out{pixel_buffer::take(bytes), nullptr, surface_w, surface_h, stride};
  clear_around_page(out, -x0, -y0, page_w, page_h);
  out.surface.reset(
      cairo_image_surface_create_for_data(out.pixels.data(), CAIRO_FORMAT_ARGB32, surface_w, surface_h, stride));
  check(out.surface.get());
  {
    const cairo_ptr cr(cairo_create(out.surface.get()));
    cairo_translate(cr.get(), -x0, -y0);
    painter paint(cr.get(), p.page, text);
    paint.background();
    for (const std::size_t i : order) {
      until.check();
      paint.draw(p.items[i]);
    }
  }
  cairo_surface_flush(out.surface.get());
  out.width = width;
  out.height = height;
  return out;
}

surface_ptr flatten_on_white(const raster& image) {
  surface_ptr out(cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height));
  check(out.get());
  const cairo_ptr cr(cairo_create(out.get()));
  cairo_set_source_rgb(cr.get(), 1, 1, 1);  // under labels standing out of the page
  cairo_paint(cr.get());
  cairo_set_source_surface(cr.get(), image.surface.get(), 0, 0);
  cairo_paint(cr.get());
  check(cr.get());
  cairo_surface_flush(out.get());
  return out;
}

PangoLayout* create_thread_layout(cairo_t* cr) {
  const gobject_ptr<PangoContext> context(pango_font_map_create_context(thread_text_setup().fonts.get()));
  pango_cairo_update_context(cr, context.get());
  return pango_layout_new(context.get());
}

}  // namespace printsvc::plots::detail
