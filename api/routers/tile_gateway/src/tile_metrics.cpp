#include "mapsvc/tile_gateway/tile_metrics.hpp"

namespace mapsvc::tile_gateway {

std::string_view to_string(tile_level level) {
  switch (level) {
    case tile_level::memory: return "memory";
    case tile_level::redis: return "redis";
    case tile_level::miss: return "miss";
    default: return "empty";
  }
}

tile_metrics declare_tile_metrics(host::metrics::registry& families, const layer_catalogue& layers) {
  std::vector<std::string> levels;
  for (std::size_t l = 0; l < static_cast<std::size_t>(tile_level::count_); ++l)
    levels.emplace_back(to_string(static_cast<tile_level>(l)));
  using host::metrics::label;

  tile_metrics m;
  m.results = families.add_counter(
      "mapsvc_tile_results_total",
      "Tile layers answered, by layer and where they came from (memory, redis, miss: built in the database, empty: "
      "nothing to draw or below the layer's zoom).",
      {label("layer", layers.keys()), label("level", levels)});
  m.statement_timeouts = families.add_counter("mapsvc_db_statement_timeouts_total",
                                              "Tile and centroid statements cancelled at their time-out.");
  m.redis_errors = families.add_counter("mapsvc_redis_errors_total",
                                        "Redis reads and stores that failed or timed out (served as misses).");
  m.invalidated_keys = families.add_counter("mapsvc_cache_invalidated_keys_total", "Cache keys deleted by invalidations.");
  m.feed_changes = families.add_counter("mapsvc_feed_changes_total",
                                        "Database changes applied to the tile cache by this instance's feed consumer.");
  m.feed_batches = families.add_counter("mapsvc_feed_batches_total", "Batches of database changes applied to the tile cache.");
  m.feed_lag = families.add_histogram("mapsvc_feed_lag_seconds", "Time from a change's commit to its tiles being evicted.");
  m.feed_backlog = families.add_gauge("mapsvc_feed_backlog",
                                      "Changes waiting to be applied, as last seen by the feed's lease holder.");
  m.feed_holder = families.add_gauge("mapsvc_feed_lease_held", "1 when a worker of this instance holds the feed consumer's lease.");
  m.stale_stores_refused = families.add_counter(
      "mapsvc_cache_stale_stores_refused_total", "Tiles built from data an applied change had overtaken, answered but not cached.");
  m.tiles_refreshed = families.add_counter("mapsvc_tiles_refreshed_total",
                                           "Evicted low-zoom tiles rebuilt ahead of their next viewer.");
  return m;
}

tile_metrics tile_metrics::bound_to(host::metrics::cell* block) const {
  tile_metrics b;
  b.results = results.bound_to(block);
  b.statement_timeouts = statement_timeouts.bound_to(block);
  b.redis_errors = redis_errors.bound_to(block);
  b.invalidated_keys = invalidated_keys.bound_to(block);
  b.feed_changes = feed_changes.bound_to(block);
  b.feed_batches = feed_batches.bound_to(block);
  b.stale_stores_refused = stale_stores_refused.bound_to(block);
  b.tiles_refreshed = tiles_refreshed.bound_to(block);
  b.feed_lag = feed_lag.bound_to(block);
  b.feed_backlog = feed_backlog.bound_to(block);
  b.feed_holder = feed_holder.bound_to(block);
  return b;
}

}  // namespace mapsvc::tile_gateway
