#pragma once

#include "render.hpp"

#include <string>

namespace printsvc::plots::detail {

/// PNG file of an opaque raster: 8-bit RGB, 300 dpi recorded (pHYs), fast zlib level.
std::string encode_png(const raster& image);

/// Standard base64 alphabet, "=" padded, one line.
std::string base64(const std::string& bytes);

}  // namespace printsvc::plots::detail
