#include "vector.hpp"

#include "cairo_handles.hpp"
#include "clip.hpp"
#include "deadline.hpp"
#include "page.hpp"
#include "png.hpp"
#include "render.hpp"
#include "sheet_draw.hpp"
#include "utf8.hpp"

#include <cairo-pdf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <variant>

namespace printsvc::plots {

namespace detail {

page_setup true_scale_page(const page_setup& page) {
  page_setup out = page;
  out.target_width_mm = (page.window.xmax - page.window.xmin) * 1000.0 / page.scale;
  out.target_height_mm = (page.window.ymax - page.window.ymin) * 1000.0 / page.scale;
  out.width_in = out.target_width_mm / 25.4;
  out.height_in = out.target_height_mm / 25.4;
  return out;
}

sheet_offset centred_on_a4(const page_setup& page) {
  return {(a4_long_mm - page.target_width_mm) / 2, (a4_short_mm - page.target_height_mm) / 2};
}

}  // namespace detail

namespace {

constexpr double pt_per_mm = 72 / 25.4;
constexpr double px_per_mm = detail::dpi / 25.4;

void check_status(cairo_status_t status, const char* what) {
  if (status != CAIRO_STATUS_SUCCESS) throw std::runtime_error(std::string(what) + ": " + cairo_status_to_string(status));
}

cairo_status_t append_bytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// A page recorded in full goes onto the file as one page: a page stopped part-way by its time
// limit never reaches it.
void lay_recorded_page(cairo_surface_t* book, cairo_surface_t* page) {
  const detail::cairo_ptr cr(cairo_create(book));
  cairo_set_source_surface(cr.get(), page, 0, 0);
  cairo_paint(cr.get());
  check_status(cairo_status(cr.get()), "drawing the PDF page");
  cairo_show_page(cr.get());
}

plan at_true_scale(const plan& p) {
  plan out;
  out.page = detail::true_scale_page(p.page);
  out.items = p.items;
  return out;
}

}  // namespace

struct pdf_book::state {
  std::string bytes;
  detail::surface_ptr surface;
  std::size_t pages = 0;
};

pdf_book::pdf_book() : s_(std::make_unique<state>()) {
  s_->surface.reset(cairo_pdf_surface_create_for_stream(append_bytes, &s_->bytes, detail::a4_long_mm * pt_per_mm,
                                                        detail::a4_short_mm * pt_per_mm));
  check_status(cairo_surface_status(s_->surface.get()), "PDF surface");
  cairo_pdf_surface_set_metadata(s_->surface.get(), CAIRO_PDF_METADATA_TITLE, "Survey plan");
  cairo_pdf_surface_set_metadata(s_->surface.get(), CAIRO_PDF_METADATA_CREATOR, "mapsvc");
}

pdf_book::~pdf_book() = default;
pdf_book::pdf_book(pdf_book&&) noexcept = default;
pdf_book& pdf_book::operator=(pdf_book&&) noexcept = default;

std::size_t pdf_book::pages() const { return s_->pages; }

void pdf_book::add(const plan& p, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const plan page = at_true_scale(p);
  const auto offset = detail::centred_on_a4(page.page);
  // Recorded first and laid onto the page only once complete: a plan abandoned part-way (its
  // time limit) must leave nothing on the page that the next plan or notice gets.
  const cairo_rectangle_t sheet{0, 0, detail::a4_long_mm * pt_per_mm, detail::a4_short_mm * pt_per_mm};
  const detail::surface_ptr recording(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &sheet));
  check_status(cairo_surface_status(recording.get()), "PDF page");
  {
    const detail::cairo_ptr cr(cairo_create(recording.get()));
    cairo_translate(cr.get(), offset.left_mm * pt_per_mm, offset.top_mm * pt_per_mm);
    cairo_scale(cr.get(), pt_per_mm / px_per_mm, pt_per_mm / px_per_mm);
    detail::draw_page(cr.get(), page, until);
    check_status(cairo_status(cr.get()), "drawing the PDF page");
  }
  lay_recorded_page(s_->surface.get(), recording.get());
  ++s_->pages;
}

void pdf_book::add_sheet(const plan& p, const sheet_facts& facts, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const plan page = at_true_scale(p);
  const auto frame = detail::frame_sheet(page.page.target_width_mm, page.page.target_height_mm);
  const auto sheets = detail::compose_sheet(page.page, facts, true);
  // Every page recorded before any reaches the file, as for a plan's single page.
  const cairo_rectangle_t sheet{0, 0, detail::a4_long_mm * pt_per_mm, detail::a4_short_mm * pt_per_mm};
  std::vector<detail::surface_ptr> recorded;
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    detail::surface_ptr recording(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &sheet));
    check_status(cairo_surface_status(recording.get()), "PDF page");
    {
      const detail::cairo_ptr cr(cairo_create(recording.get()));
      cairo_scale(cr.get(), pt_per_mm, pt_per_mm);
      if (i == 0) detail::draw_sheet_figure(cr.get(), page, frame.figure, until);
      detail::draw_sheet_furniture(cr.get(), sheets[i], until);
      check_status(cairo_status(cr.get()), "drawing the PDF page");
    }
    recorded.push_back(std::move(recording));
  }
  for (const auto& recording : recorded) {
    lay_recorded_page(s_->surface.get(), recording.get());
    ++s_->pages;
  }
}

void pdf_book::add_notice(std::string_view text) {
  const detail::cairo_ptr cr(cairo_create(s_->surface.get()));
  PangoLayout* layout = detail::create_thread_layout(cr.get());
  const detail::gobject_ptr<PangoLayout> owner(layout);
  const detail::font_description_ptr font(pango_font_description_from_string("DejaVu Serif 12"));
  pango_layout_set_font_description(layout, font.get());
  pango_layout_set_width(layout, static_cast<int>((detail::a4_long_mm - 40) * pt_per_mm * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  const std::string drawn = detail::drawable_text(text);
  pango_layout_set_text(layout, drawn.data(), static_cast<int>(drawn.size()));
  cairo_move_to(cr.get(), 20 * pt_per_mm, 20 * pt_per_mm);
  cairo_set_source_rgb(cr.get(), 0, 0, 0);
  pango_cairo_show_layout(cr.get(), layout);
  check_status(cairo_status(cr.get()), "drawing the PDF page");
  cairo_show_page(cr.get());
  ++s_->pages;
}

std::string pdf_book::finish() {
  cairo_surface_finish(s_->surface.get());
  check_status(cairo_surface_status(s_->surface.get()), "writing the PDF");
  s_->surface.reset();
  return std::move(s_->bytes);
}

std::string render_pdf(const plan& p, std::chrono::milliseconds time_limit) {
  pdf_book book;
  book.add(p, time_limit);
  return book.finish();
}

std::string render_sheet_pdf(const plan& p, const sheet_facts& facts, std::chrono::milliseconds time_limit) {
  pdf_book book;
  book.add_sheet(p, facts, time_limit);
  return book.finish();
}

std::string render_sheet_png(const plan& p, const sheet_facts& facts, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const plan page = at_true_scale(p);
  detail::check_page(page.page);
  const auto frame = detail::frame_sheet(page.page.target_width_mm, page.page.target_height_mm);
  const auto sheets = detail::compose_sheet(page.page, facts, false);

  const int width = static_cast<int>(std::lround(detail::a4_long_mm * px_per_mm));
  const int height = static_cast<int>(std::lround(detail::a4_short_mm * px_per_mm));
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
  detail::raster image{detail::pixel_buffer::take(bytes), nullptr, width, height, stride};
  std::memset(image.pixels.data(), 0, bytes);  // transparent: the encoder lays the picture over white
  image.surface.reset(
      cairo_image_surface_create_for_data(image.pixels.data(), CAIRO_FORMAT_ARGB32, width, height, stride));
  check_status(cairo_surface_status(image.surface.get()), "sheet picture");
  {
    const detail::cairo_ptr cr(cairo_create(image.surface.get()));
    cairo_scale(cr.get(), px_per_mm, px_per_mm);
    detail::draw_sheet_figure(cr.get(), page, frame.figure, until);
    detail::draw_sheet_furniture(cr.get(), sheets.front(), until);
  }
  cairo_surface_flush(image.surface.get());
  return detail::encode_png(image);
}

}  // namespace printsvc::plots
