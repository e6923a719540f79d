#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mapsvc::tile_gateway {

// How much detail a tile carries at one zoom.
struct zoom_config {
  int tolerance;      // simplification tolerance in Web Mercator metres; 0 = none
  int feature_limit;  // most features per tile, before MAX_FEATURES_GLOBAL
  int buffer;         // clipping buffer in units of a 4096-unit tile
  int cache_ttl;      // cache lifetime of the tile, seconds

  friend bool operator==(const zoom_config&, const zoom_config&) = default;
};

// The zoom configuration of `layer_name` at `zoom`, or none when the zoom is below the
// layer's minimum. A name outside the catalogue counts as minimum zoom 0: refusing
// unknown layers is the caller's job.
std::optional<zoom_config> get_zoom_config(std::int64_t zoom, std::string_view layer_name);

// How long the tile query of zoom `z` may run: deeper zooms touch more rows.
std::chrono::milliseconds tile_query_timeout(std::int64_t z) noexcept;

// "heavy" (> 500), "moderate" (> 100), "light" (> 0) or "none".
std::string_view simplification_word(int tolerance) noexcept;

}  // namespace mapsvc::tile_gateway
