#pragma once
// Carries out an invalidation plan on the cache: listed keys in rounds, whole layers by walks
// over the keyspace, lookups and box tiles through the sets of cached entries (entry_index).
// Every entry goes through BinaryRedisCache's
// invalidate_each, so builds that began before it cannot store what they read.

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "mapsvc/tile_gateway/change_plan.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway::detail {

struct pass_result {
  std::uint64_t deleted = 0;
  std::vector<std::string> evicted;  // caller keys of the entries that were cached
};

boost::asio::awaitable<pass_result> apply_plan(tile_gateway_module& m, const invalidation_plan& plan);

}  // namespace mapsvc::tile_gateway::detail
