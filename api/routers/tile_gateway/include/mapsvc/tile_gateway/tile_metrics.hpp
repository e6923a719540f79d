#pragma once
// What the tile service counts: tiles by layer and where they came from, statement time-outs,
// Redis errors, invalidations, and the change feed's work.

#include <string_view>

#include "host/metrics/registry.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"

namespace mapsvc::tile_gateway {

// Where a tile layer's answer came from.
enum class tile_level { memory, redis, miss, empty, count_ };
std::string_view to_string(tile_level level);

// Declared before the workers fork, bound by each to its own block (see bound_to); default
// handles count nothing.
struct tile_metrics {
  host::metrics::counter_family results;  // layer (catalogue order), level
  host::metrics::counter_family statement_timeouts, redis_errors, invalidated_keys;
  // The change feed: changes applied, batches, builds refused a store because an edit
  // overtook them, tiles rebuilt ahead of viewers; commit-to-evicted lag; pending changes
  // and whether this worker holds the feed's lease (written by the holder only).
  host::metrics::counter_family feed_changes, feed_batches, stale_stores_refused, tiles_refreshed;
  host::metrics::histogram_family feed_lag;
  host::metrics::gauge_family feed_backlog, feed_holder;

  tile_metrics bound_to(host::metrics::cell* block) const;
};

tile_metrics declare_tile_metrics(host::metrics::registry& families, const layer_catalogue& layers);

}  // namespace mapsvc::tile_gateway
