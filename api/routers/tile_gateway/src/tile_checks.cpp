#include "mapsvc/tile_gateway/tile_checks.hpp"

#include <cmath>

namespace mapsvc::tile_gateway {

bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y) noexcept {
  if (z < 1 || z > 20) return false;
  const std::int64_t n = std::int64_t{1} << z;
  return x >= 0 && x < n && y >= 0 && y < n;
}

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) noexcept {
  return std::abs((maxx - minx) * (maxy - miny));
}

}  // namespace mapsvc::tile_gateway
