#include "mapsvc/tile_gateway/store_holds.hpp"

#include <algorithm>

namespace mapsvc::tile_gateway {

void store_holds::hold(std::int64_t upto, std::vector<invalidation_plan::area> areas, clock::time_point until) {
  if (areas.empty()) return;
  held_.push_back({upto, std::move(areas), until});
}

void store_holds::release_through(std::int64_t position) {
  std::erase_if(held_, [position](const held& h) { return h.upto <= position; });
}

bool store_holds::holds(std::string_view layer, const host::helpers::tile_address& tile, clock::time_point now) {
  std::erase_if(held_, [now](const held& h) { return h.until <= now; });
  for (const auto& h : held_)
    for (const auto& a : h.areas)
      if (a.layer == layer && tile.z >= a.minzoom && tile.z <= a.maxzoom && tile_meets(tile, {a.box})) return true;
  return false;
}

}  // namespace mapsvc::tile_gateway
