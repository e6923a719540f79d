#pragma once

#include <cstdint>

namespace mapsvc::tile_gateway {

// True when z/x/y is a tile of the served grid: 1 <= z <= 20 and 0 <= x, y < 2^z.
// Safe for any int64: the power is formed only once the zoom is known to be small.
bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y) noexcept;

// |(maxx - minx) * (maxy - miny)|; square degrees when given longitudes and latitudes.
// The corners may come in either order.
double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) noexcept;

}  // namespace mapsvc::tile_gateway
