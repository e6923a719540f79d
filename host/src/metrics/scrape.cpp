// A scrape: the sum of every worker's block, serialised by prometheus-cpp's text serializer.
#include <cmath>
#include <limits>
#include <sstream>

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include "host/metrics/shared_metrics.hpp"

namespace host::metrics {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr std::size_t METHODS = static_cast<std::size_t>(method::count_);
constexpr std::size_t LEVELS = static_cast<std::size_t>(tile_level::count_);

struct summed_histogram {
  std::array<std::uint64_t, LATENCY_BOUNDS.size()> buckets{};
  std::uint64_t count = 0, sum_ns = 0;
  void add(const histogram& h) {
    for (std::size_t i = 0; i < buckets.size(); ++i) buckets[i] += h.buckets[i].get();
    count += h.count.get();
    sum_ns += h.sum_ns.get();
  }
  ClientMetric metric(std::vector<ClientMetric::Label> labels) const {
    ClientMetric m;
    m.label = std::move(labels);
    m.histogram.sample_count = count;
    m.histogram.sample_sum = static_cast<double>(sum_ns) / 1e9;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < buckets.size(); ++i) {
      cumulative += buckets[i];
      m.histogram.bucket.push_back({cumulative, LATENCY_BOUNDS[i]});
    }
    m.histogram.bucket.push_back({count, std::numeric_limits<double>::infinity()});
    return m;
  }
};

MetricFamily family(std::string name, std::string help, MetricType type) {
  MetricFamily f;
  f.name = std::move(name);
  f.help = std::move(help);
  f.type = type;
  return f;
}

ClientMetric counter_metric(double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric m;
  m.label = std::move(labels);
  m.counter.value = value;
  return m;
}

ClientMetric gauge_metric(double value) {
  ClientMetric m;
  m.gauge.value = value;
  return m;
}

std::string route_label(const labels& names, std::size_t i) {
  if (i < names.routes.size()) return names.routes[i];
  return "unmatched";
}

std::string status_label(std::size_t slot) {
  return slot < KNOWN_STATUSES.size() ? std::to_string(KNOWN_STATUSES[slot]) : "other";
}

}  // namespace

std::string scrape(const shared_region& region, const labels& names) {
  // Sum first, serialise after: the blocks are read once each.
  std::vector<std::uint64_t> requests((MAX_ROUTES + 1) * METHODS * STATUS_SLOTS, 0);
  std::vector<summed_histogram> latency(MAX_ROUTES + 1);
  std::uint64_t tiles[MAX_LAYERS][LEVELS]{};
  std::int64_t pool_open = 0, pool_in_use = 0, pool_waiting = 0;
  std::uint64_t pool_waits = 0, pool_wait_ns = 0, timeouts = 0, redis_errors = 0, invalidated = 0;
  summed_histogram plan, feed_lag;
  std::uint64_t feed_changes = 0, feed_batches = 0, stale_refused = 0, refreshed = 0;
  std::int64_t feed_backlog = 0, feed_holders = 0;
  for (std::size_t w = 0; w < region.workers(); ++w) {
    const worker_block& b = region.block(w);
    for (std::size_t r = 0; r <= MAX_ROUTES; ++r) {
      for (std::size_t m = 0; m < METHODS; ++m)
        for (std::size_t s = 0; s < STATUS_SLOTS; ++s) requests[(r * METHODS + m) * STATUS_SLOTS + s] += b.requests[r][m][s].get();
      latency[r].add(b.latency[r]);
    }
    for (std::size_t l = 0; l < MAX_LAYERS; ++l)
      for (std::size_t v = 0; v < LEVELS; ++v) tiles[l][v] += b.tiles[l][v].get();
    pool_open += b.pool_open.get();
    pool_in_use += b.pool_in_use.get();
    pool_waiting += b.pool_waiting.get();
    pool_waits += b.pool_waits.get();
    pool_wait_ns += b.pool_wait_ns.get();
    timeouts += b.statement_timeouts.get();
    redis_errors += b.redis_errors.get();
    invalidated += b.invalidated_keys.get();
    plan.add(b.plan_render);
    feed_lag.add(b.feed_lag);
    feed_changes += b.feed_changes.get();
    feed_batches += b.feed_batches.get();
    stale_refused += b.stale_stores_refused.get();
    refreshed += b.tiles_refreshed.get();
    feed_backlog += b.feed_backlog.get();
    feed_holders += b.feed_holder.get();
  }

  std::vector<MetricFamily> out;
  auto req = family("mapsvc_http_requests_total", "HTTP requests answered, by route template, method and status.",
                    MetricType::Counter);
  auto lat = family("mapsvc_http_request_duration_seconds",
                    "Time from a request's arrival to its answer being ready, by route template.", MetricType::Histogram);
  for (std::size_t r = 0; r <= MAX_ROUTES; ++r) {
    if (latency[r].count == 0) continue;  // only routes that were asked for
    const std::string route = route_label(names, r);
    for (std::size_t m = 0; m < METHODS; ++m)
      for (std::size_t s = 0; s < STATUS_SLOTS; ++s)
        if (const auto n = requests[(r * METHODS + m) * STATUS_SLOTS + s])
          req.metric.push_back(counter_metric(static_cast<double>(n), {{"route", route},
                                                                       {"method", std::string(to_string(static_cast<method>(m)))},
                                                                       {"status", status_label(s)}}));
    lat.metric.push_back(latency[r].metric({{"route", route}}));
  }
  out.push_back(std::move(req));
  out.push_back(std::move(lat));

  auto tile = family("mapsvc_tile_results_total",
                     "Tile layers answered, by layer and where they came from (memory, redis, miss: built in the "
                     "database, empty: nothing to draw or below the layer's zoom).",
                     MetricType::Counter);
  for (std::size_t l = 0; l < std::min(names.layers.size(), MAX_LAYERS); ++l)
    for (std::size_t v = 0; v < LEVELS; ++v)
      tile.metric.push_back(counter_metric(static_cast<double>(tiles[l][v]),
                                           {{"layer", names.layers[l]},
                                            {"level", std::string(to_string(static_cast<tile_level>(v)))}}));
  out.push_back(std::move(tile));

  const auto single_gauge = [&](const char* name, const char* help, double v) {
    auto f = family(name, help, MetricType::Gauge);
    f.metric.push_back(gauge_metric(v));
    out.push_back(std::move(f));
  };
  const auto single_counter = [&](const char* name, const char* help, double v) {
    auto f = family(name, help, MetricType::Counter);
    f.metric.push_back(counter_metric(v));
    out.push_back(std::move(f));
  };
  single_gauge("mapsvc_db_pool_connections", "Database connections open, over all workers.", static_cast<double>(pool_open));
  single_gauge("mapsvc_db_pool_in_use", "Database connections lent to requests.", static_cast<double>(pool_in_use));
  single_gauge("mapsvc_db_pool_waiting", "Requests waiting for a database connection.", static_cast<double>(pool_waiting));
  single_counter("mapsvc_db_pool_waits_total", "Requests that had to wait for a database connection.",
                 static_cast<double>(pool_waits));
  single_counter("mapsvc_db_pool_wait_seconds_total", "Time requests spent waiting for a database connection.",
                 static_cast<double>(pool_wait_ns) / 1e9);
  single_counter("mapsvc_db_statement_timeouts_total", "Tile and centroid statements cancelled at their time-out.",
                 static_cast<double>(timeouts));
  single_counter("mapsvc_redis_errors_total", "Redis reads and stores that failed or timed out (served as misses).",
                 static_cast<double>(redis_errors));
  single_counter("mapsvc_cache_invalidated_keys_total", "Cache keys deleted by invalidations.",
                 static_cast<double>(invalidated));
  auto plans = family("mapsvc_plan_render_seconds",
                      "Time the render threads spent on one survey-plan job (parsing, drawing or encoding).",
                      MetricType::Histogram);
  plans.metric.push_back(plan.metric({}));
  out.push_back(std::move(plans));
  single_counter("mapsvc_feed_changes_total", "Database changes applied to the tile cache by this instance's feed consumer.",
                 static_cast<double>(feed_changes));
  single_counter("mapsvc_feed_batches_total", "Batches of database changes applied to the tile cache.",
                 static_cast<double>(feed_batches));
  auto lag = family("mapsvc_feed_lag_seconds", "Time from a change's commit to its tiles being evicted.",
                    MetricType::Histogram);
  lag.metric.push_back(feed_lag.metric({}));
  out.push_back(std::move(lag));
  single_gauge("mapsvc_feed_backlog", "Changes waiting to be applied, as last seen by the feed's lease holder.",
               static_cast<double>(feed_backlog));
  single_gauge("mapsvc_feed_lease_held", "1 when a worker of this instance holds the feed consumer's lease.",
               static_cast<double>(feed_holders));
  single_counter("mapsvc_cache_stale_stores_refused_total",
                 "Tiles built from data an applied change had overtaken, answered but not cached.",
                 static_cast<double>(stale_refused));
  single_counter("mapsvc_tiles_refreshed_total", "Evicted low-zoom tiles rebuilt ahead of their next viewer.",
                 static_cast<double>(refreshed));
  single_counter("mapsvc_worker_restarts_total", "Worker processes started again after one died.",
                 static_cast<double>(region.header().worker_restarts.get()));
  single_gauge("mapsvc_workers", "Worker processes configured.", static_cast<double>(region.workers()));

  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, out);
  return std::move(text).str();
}

}  // namespace host::metrics
