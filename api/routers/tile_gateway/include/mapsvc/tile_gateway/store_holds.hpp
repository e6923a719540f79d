#pragma once
// Areas whose tiles this worker must not store for a while: a batch of changes that the read
// replicas have not replayed yet. A tile built meanwhile may come from a replica still showing
// the old rows; answered, it does no harm, but stored it would outlive the batch's second
// invalidation. The change feed's consumer announces a hold before invalidating a batch and
// releases it by moving its cache's cursor past the batch; a hold also ends on its own, so that
// a consumer that died mid-batch cannot keep a worker from storing.

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "host/helpers/utils.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tile_gateway {

class store_holds {
 public:
  using clock = std::chrono::steady_clock;

  // Holds the areas of the batch that ends at position `upto` until `until`.
  void hold(std::int64_t upto, std::vector<invalidation_plan::area> areas, clock::time_point until);
  // The batches that end at `position` or before are applied everywhere: their holds end.
  void release_through(std::int64_t position);
  // Whether a tile of `layer` may not be stored now (expired holds are dropped on the way).
  bool holds(std::string_view layer, const host::helpers::tile_address& tile, clock::time_point now);
  bool empty() const { return held_.empty(); }

 private:
  struct held {
    std::int64_t upto;
    std::vector<invalidation_plan::area> areas;
    clock::time_point until;
  };
  std::vector<held> held_;
};

}  // namespace mapsvc::tile_gateway
