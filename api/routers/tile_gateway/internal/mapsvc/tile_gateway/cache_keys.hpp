#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace mapsvc::tile_gateway {

// Prefix of every entry the tile service keeps in Redis. Bumping it orphans old entries
// (they expire on their own) when the tile format changes.
inline constexpr std::string_view CACHE_NAMESPACE = "mvt_v8";

// Key of an XYZ tile, "{layer}:{z}:{x}:{y}", before the namespace is added.
std::string tile_cache_key(std::string_view layer_name, std::int64_t z, std::int64_t x, std::int64_t y);
// The same written into `out` (inline for any usual layer name: a cache hit copies no key).
using tile_key_buffer = fmt::basic_memory_buffer<char, 64>;
std::string_view tile_cache_key(tile_key_buffer& out, std::string_view layer_name, std::int64_t z, std::int64_t x,
                                std::int64_t y);

// Key of a layer's centroid answer, "centroid:{layer}".
std::string centroid_cache_key(std::string_view layer_name);

// The invalidation generation of a cached entry, by its full Redis key: "mapsvc:gen:{full_key}".
// The hash tag puts it in the entry's own slot, so one script may read both in a Redis Cluster.
// It sits outside the namespace: purging the cache must not reset it.
std::string generation_key(std::string_view full_key);

// SCAN patterns (Redis glob syntax, nothing escaped) of the invalidation workers.
// "{namespace}:{layer}:*" matches the XYZ tiles of the layer only: its box tiles and
// centroid sit under "bbox:" and "centroid:" and are left to expire.
std::string layer_match_pattern(std::string_view cache_namespace, std::string_view layer_name);
// "{namespace}:*": every entry of the namespace.
std::string namespace_match_pattern(std::string_view cache_namespace);
// "{namespace}:{pattern}" for a caller's own pattern.
std::string custom_match_pattern(std::string_view cache_namespace, std::string_view pattern);

}  // namespace mapsvc::tile_gateway
