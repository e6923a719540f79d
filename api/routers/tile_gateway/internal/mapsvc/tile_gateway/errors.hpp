#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mapsvc::tile_gateway {

// The layer name is not a key of the layer catalogue.
class unknown_layer_error : public std::invalid_argument {
 public:
  explicit unknown_layer_error(std::string_view layer_name);
};

// The layer exists but is not served at the requested zoom (below its minimum).
class zoom_unavailable_error : public std::invalid_argument {
 public:
  zoom_unavailable_error(std::string_view layer_name, std::int64_t zoom);
};

// Text that Python's int() would refuse; what() reads
// "invalid literal for int() with base 10: '<text>'".
class invalid_int_literal : public std::invalid_argument {
 public:
  explicit invalid_int_literal(std::string_view text);
};

// A numeric setting that is not a whole number within its allowed range; what() reads
// "REDIS_PORT must be a whole number from 1 to 65535, got '70000'".
class invalid_setting : public std::invalid_argument {
 public:
  invalid_setting(std::string_view name, std::string_view text, std::int64_t min, std::int64_t max);
};

}  // namespace mapsvc::tile_gateway
