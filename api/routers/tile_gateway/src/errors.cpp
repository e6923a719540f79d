#include "mapsvc/tile_gateway/errors.hpp"

#include <fmt/format.h>

#include "mapsvc/tile_gateway/python_text.hpp"

namespace mapsvc::tile_gateway {

unknown_layer_error::unknown_layer_error(std::string_view layer_name)
    : std::invalid_argument(fmt::format("Unknown layer: {}", layer_name)) {}

zoom_unavailable_error::zoom_unavailable_error(std::string_view layer_name, std::int64_t zoom)
    : std::invalid_argument(fmt::format("Layer {} not available at zoom level {}", layer_name, zoom)) {}

invalid_int_literal::invalid_int_literal(std::string_view text)
    : std::invalid_argument("invalid literal for int() with base 10: " + python_str_repr(text)) {}

invalid_setting::invalid_setting(std::string_view name, std::string_view text, std::int64_t min, std::int64_t max)
    : std::invalid_argument(
          fmt::format("{} must be a whole number from {} to {}, got {}", name, min, max, python_str_repr(text))) {}

}  // namespace mapsvc::tile_gateway
