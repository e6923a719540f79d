#include "mapsvc/tile_gateway/cache_keys.hpp"

#include <iterator>

#include <fmt/format.h>

namespace mapsvc::tile_gateway {

std::string tile_cache_key(std::string_view layer_name, std::int64_t z, std::int64_t x, std::int64_t y) {
  return fmt::format("{}:{}:{}:{}", layer_name, z, x, y);
}

std::string_view tile_cache_key(tile_key_buffer& out, std::string_view layer_name, std::int64_t z, std::int64_t x,
                                std::int64_t y) {
  out.clear();
  fmt::format_to(std::back_inserter(out), "{}:{}:{}:{}", layer_name, z, x, y);
  return {out.data(), out.size()};
}

std::string centroid_cache_key(std::string_view layer_name) { return fmt::format("centroid:{}", layer_name); }

std::string generation_key(std::string_view full_key) { return fmt::format("mapsvc:gen:{{{}}}", full_key); }

std::string layer_match_pattern(std::string_view cache_namespace, std::string_view layer_name) {
  return fmt::format("{}:{}:*", cache_namespace, layer_name);
}

std::string namespace_match_pattern(std::string_view cache_namespace) {
  return fmt::format("{}:*", cache_namespace);
}

std::string custom_match_pattern(std::string_view cache_namespace, std::string_view pattern) {
  return fmt::format("{}:{}", cache_namespace, pattern);
}

}  // namespace mapsvc::tile_gateway
