#pragma once

#include "render.hpp"

#include <cairo.h>

#include <string>

namespace printsvc::plots::detail {

/// PNG file of `image` laid over white: 8-bit RGB, unfiltered rows, 300 dpi recorded (pHYs).
/// The rows are deflated in a few strips at once (row_deflate.hpp), one stream in the file.
std::string encode_png(const raster& image);

/// The previous encoder, for comparison: the same file format from an opaque picture (cairo
/// RGB24, e.g. from flatten_on_white) through libpng at zlib level 1.
std::string encode_png_libpng(cairo_surface_t* rgb24);

/// Standard base64 alphabet, "=" padded, one line.
std::string base64(const std::string& bytes);

}  // namespace printsvc::plots::detail
