#pragma once
// Web-map tile math: a 2^z x 2^z grid over the Web Mercator square, origin top-left, y down.

#include <cstdint>

#include <nlohmann/json.hpp>

namespace host::helpers {

inline constexpr double WEB_MERCATOR_HALF_WORLD = 20037508.342789244;  // metres
inline constexpr int MAX_TILE_ZOOM = 30;

struct tile_address {
  int z;
  std::int64_t x;
  std::int64_t y;
};

struct tile_bounds {
  double minx, miny, maxx, maxy;  // EPSG:3857 metres
};

// The tile containing the point; latitudes beyond the Web Mercator limit land in the edge row.
// `zoom` must lie in 0..MAX_TILE_ZOOM (std::out_of_range otherwise).
tile_address tile_for(double lat, double lon, int zoom);
tile_bounds bounds_of(int z, std::int64_t x, std::int64_t y);

// The same as mappings: {"z", "x", "y"} and {"minx", "miny", "maxx", "maxy"}.
nlohmann::ordered_json latlon_to_xyz(double lat, double lon, int zoom);
nlohmann::ordered_json xyz_to_bbox_web_mercator(int z, std::int64_t x, std::int64_t y);

}  // namespace host::helpers
