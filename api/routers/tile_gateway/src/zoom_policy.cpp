#include "mapsvc/tile_gateway/zoom_policy.hpp"

#include <array>
#include <limits>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/constants.hpp"

namespace mapsvc::tile_gateway {

namespace {

struct zoom_band {
  std::int64_t max_zoom;
  zoom_config config;
};

// Bands by upper zoom; the last one also takes every deeper zoom.
constexpr std::array<zoom_band, 8> ZOOM_BANDS{{
    {4, {2000, 1000, 512, CACHE_TTL_LONG}},
    {6, {1000, 2000, 256, CACHE_TTL_LONG}},
    {8, {500, 3000, 256, CACHE_TTL_LONG}},
    {10, {500, 1200, 256, CACHE_TTL_LONG}},
    {12, {500, 1500, 256, CACHE_TTL_SHORT}},
    {14, {0, 1500, 16, CACHE_TTL_SHORT}},
    {16, {0, 3000, 8, CACHE_TTL_SHORT}},
    {std::numeric_limits<std::int64_t>::max(), {0, 15000, 8, CACHE_TTL_SHORT}},
}};

}  // namespace

std::optional<zoom_config> get_zoom_config(std::int64_t zoom, std::string_view layer_name) {
  const layer_record* layer = LAYER_CONFIG().find(layer_name);
  const int min_zoom = layer ? layer->min_zoom : 0;
  if (zoom < min_zoom) return std::nullopt;
  for (const auto& band : ZOOM_BANDS)
    if (zoom <= band.max_zoom) return band.config;
  return ZOOM_BANDS.back().config;  // unreachable: the last band is open-ended
}

std::chrono::milliseconds tile_query_timeout(std::int64_t z) noexcept {
  using std::chrono::seconds;
  if (z <= 6) return seconds{10};
  if (z <= 10) return seconds{12};
  if (z <= 14) return seconds{15};
  if (z <= 16) return seconds{20};
  return seconds{30};
}

std::string_view simplification_word(int tolerance) noexcept {
  if (tolerance > 500) return "heavy";
  if (tolerance > 100) return "moderate";
  if (tolerance > 0) return "light";
  return "none";
}

}  // namespace mapsvc::tile_gateway
