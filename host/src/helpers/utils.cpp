#include "host/helpers/utils.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace host::helpers {
namespace {

void check_zoom(int zoom) {
  if (zoom < 0 || zoom > MAX_TILE_ZOOM)
    throw std::out_of_range("zoom " + std::to_string(zoom) + " outside 0.." + std::to_string(MAX_TILE_ZOOM));
}

}  // namespace

tile_address tile_for(double lat, double lon, int zoom) {
  check_zoom(zoom);
  if (!std::isfinite(lat) || !std::isfinite(lon)) throw std::invalid_argument("latitude and longitude must be finite");
  const double n = std::ldexp(1.0, zoom);
  const double max_index = n - 1;
  const double lat_rad = std::clamp(lat, -85.0511287798066, 85.0511287798066) * std::numbers::pi / 180.0;
  const double fx = (lon + 180.0) / 360.0 * n;
  const double fy = (1.0 - std::asinh(std::tan(lat_rad)) / std::numbers::pi) / 2.0 * n;
  return {zoom, static_cast<std::int64_t>(std::clamp(std::floor(fx), 0.0, max_index)),
          static_cast<std::int64_t>(std::clamp(std::floor(fy), 0.0, max_index))};
}

tile_bounds bounds_of(int z, std::int64_t x, std::int64_t y) {
  check_zoom(z);
  const double size = 2 * WEB_MERCATOR_HALF_WORLD / std::ldexp(1.0, z);
  const double minx = -WEB_MERCATOR_HALF_WORLD + static_cast<double>(x) * size;
  const double maxy = WEB_MERCATOR_HALF_WORLD - static_cast<double>(y) * size;
  return {minx, maxy - size, minx + size, maxy};
}

nlohmann::ordered_json latlon_to_xyz(double lat, double lon, int zoom) {
  const auto t = tile_for(lat, lon, zoom);
  nlohmann::ordered_json j;
  j["z"] = t.z;
  j["x"] = t.x;
  j["y"] = t.y;
  return j;
}

nlohmann::ordered_json xyz_to_bbox_web_mercator(int z, std::int64_t x, std::int64_t y) {
  const auto b = bounds_of(z, x, y);
  nlohmann::ordered_json j;
  j["minx"] = b.minx;
  j["miny"] = b.miny;
  j["maxx"] = b.maxx;
  j["maxy"] = b.maxy;
  return j;
}

}  // namespace host::helpers
