#include "png.hpp"

#include "page.hpp"

#include <glib.h>
#include <png.h>

#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

namespace printsvc::plots::detail {

namespace {

// A plan page is mostly flat colour: level 2 with the Sub and Up filters keeps the file within a
// few hundred kilobytes at a fraction of the default level's time.
constexpr int zlib_level = 2;
constexpr int png_filters = PNG_FILTER_SUB | PNG_FILTER_UP;

struct writer {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::string error;
  ~writer() { png_destroy_write_struct(&png, &info); }
};

void append(png_structp png, png_bytep data, png_size_t size) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

void on_error(png_structp png, png_const_charp message) {
  static_cast<writer*>(png_get_error_ptr(png))->error = message;
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

// Only plain data lives in this frame, so leaving it by longjmp skips no destructor.
bool write_rows(writer& w, std::string& out, const unsigned char* pixels, int width, int height, int stride) {
  if (setjmp(png_jmpbuf(w.png))) return false;
  png_set_write_fn(w.png, &out, append, nullptr);
  png_set_compression_level(w.png, zlib_level);
  png_set_filter(w.png, PNG_FILTER_TYPE_BASE, png_filters);
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  const auto px_per_metre = static_cast<png_uint_32>(std::lround(dpi / 0.0254));  // 11811
  png_set_pHYs(w.png, w.info, px_per_metre, px_per_metre, PNG_RESOLUTION_METER);
  png_write_info(w.png, w.info);
  // Cairo keeps each pixel as a native-endian 0x00RRGGBB word; libpng drops the pad byte.
  if constexpr (std::endian::native == std::endian::little) {
    png_set_bgr(w.png);
    png_set_filler(w.png, 0, PNG_FILLER_AFTER);
  } else {
    png_set_filler(w.png, 0, PNG_FILLER_BEFORE);
  }
  for (int y = 0; y < height; ++y) png_write_row(w.png, pixels + static_cast<std::size_t>(y) * stride);
  png_write_end(w.png, nullptr);
  return true;
}

}  // namespace

std::string encode_png(const raster& image) {
  cairo_surface_t* s = image.surface.get();
  cairo_surface_flush(s);
  writer w;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &w, on_error, on_warning);
  if (w.png) w.info = png_create_info_struct(w.png);
  if (!w.png || !w.info) throw std::runtime_error("PNG encoder could not be created");
  std::string out;
  out.reserve(static_cast<std::size_t>(image.width) * image.height / 8);
  if (!write_rows(w, out, cairo_image_surface_get_data(s), image.width, image.height,
                  cairo_image_surface_get_stride(s)))
    throw std::runtime_error("PNG encoding failed: " + w.error);
  return out;
}

std::string base64(const std::string& bytes) {
  const std::unique_ptr<gchar, decltype(&g_free)> text(
      g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()), &g_free);
  return text.get();
}

}  // namespace printsvc::plots::detail
