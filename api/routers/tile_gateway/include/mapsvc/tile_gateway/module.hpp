#pragma once
// The tile service module: its state, built once in a fixed order, and its route table.

#include <chrono>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/logger.h>

#include "host/database/session.hpp"
#include "clients/redis/client.hpp"
#include "host/http/router.hpp"
#include "mapsvc/tile_gateway/binary_redis_cache.hpp"
#include "mapsvc/tile_gateway/cache_breaker.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_hub.hpp"
#include "mapsvc/tile_gateway/coalescer.hpp"
#include "mapsvc/tile_gateway/memory_tier.hpp"
#include "mapsvc/tile_gateway/redis_settings.hpp"
#include "mapsvc/tile_gateway/store_holds.hpp"
#include "mapsvc/tile_gateway/tile_metrics.hpp"

namespace mapsvc::tile_gateway {

struct module_options {
  // Where the tile cache lives, as the process read it with its other settings.
  redis_settings redis{};
  // Bytes of tiles each worker keeps in memory in front of Redis; 0 turns that memory off.
  std::size_t memory_cache_bytes = 0;
  // Replaces every statement time-out; for tests that must not wait the real ones.
  std::optional<std::chrono::milliseconds> query_timeout_override{};
  // Where tile results, statement time-outs, Redis errors, invalidations and the feed's work
  // are counted, bound to this worker's block; unbound: not counted.
  tile_metrics metrics{};
  // Base of the absolute URLs in TileJSON ("https://tiles.example.org/prefix"); empty: from
  // each request's Forwarded, X-Forwarded-* or Host header.
  std::string public_url{};
  // Event streams (GET /gis/changes) open at once in this worker; beyond it 503.
  std::size_t max_change_streams = 256;
  // Between two comments on a quiet event stream, so that proxies and clients keep it open.
  std::chrono::milliseconds change_heartbeat{std::chrono::seconds(15)};
  // The max-age of cached tile hits (XYZ and composite), in seconds; none: the zoom's cache TTL.
  std::optional<int> client_max_age{};
  // How long stored XYZ tiles live, in seconds, once the change feed is known to be installed
  // (edits then remove exactly what they touch); none: the zoom's cache TTL always.
  std::optional<int> cache_ttl_with_feed{};
  // Sessions of their own for the layers of a composite tile after the first, so that its
  // layers are built side by side; none: one after another on the request's session.
  std::function<host::database::session()> open_session{};
};

// Where a cached tile came from. Both are hits to the client.
enum class cache_level { memory, redis };

struct cached_tile {
  host::http::shared_representation tile;
  cache_level level;
};

// A cache read: the tile when cached, else whether Redis answered (when it could not be asked,
// a build does not try it again: nothing the build makes is stored).
struct tile_lookup {
  std::optional<cached_tile> hit;
  bool redis_answered = false;
};

class tile_gateway_module {
 public:
  // The load sequence: logging, logger, router, settings, Redis client (not contacted),
  // cache, breaker, banner on standard output, catalogue, routes. Throws when a setting is
  // invalid (invalid_setting, before anything is printed).
  tile_gateway_module(boost::asio::any_io_executor executor, module_options options = {});
  tile_gateway_module(const tile_gateway_module&) = delete;
  tile_gateway_module& operator=(const tile_gateway_module&) = delete;

  // Safely get from cache with timeout. Never throws an ordinary error; a failure is a miss.
  // While Redis stalls (see `breaker`) the call skips Redis and is a miss at once.
  boost::asio::awaitable<std::optional<std::string>> safe_cache_get(
      std::string_view key, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
  // Safely set cache value, waiting at most `timeout` (the caller's read bound). Never throws
  // an ordinary error; skipped while Redis stalls.
  boost::asio::awaitable<void> safe_cache_set(std::string_view key, std::string_view value, std::int64_t ttl,
                                              std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

  // A cached tile, in two halves. `remembered`: from memory, without suspending, when memory
  // holds the key and is in step with Redis. `fetched`, after it missed: through
  // safe_cache_get's guard from Redis (and then kept in memory for the time Redis keeps it), as
  // long as Redis answers in time. No hit for a miss, an empty value, or a failure.
  tile_lookup remembered(std::string_view key);
  boost::asio::awaitable<tile_lookup> fetched(std::string_view key, std::chrono::milliseconds timeout);
  // Stores a tile built from the database like safe_cache_set, unless its entry was
  // invalidated since `ticket` was taken (the build may have read the data from before the
  // edit) or is held (see holds), and keeps it in memory too once Redis has it. Returns it ready to answer either way.
  // (`bytes` is taken before the first suspension.)
  boost::asio::awaitable<host::http::shared_representation> keep(
      std::string_view key, std::string&& bytes, std::int64_t ttl, std::chrono::milliseconds timeout,
      const std::optional<BinaryRedisCache::build_ticket>& ticket);

  // What a build must do before it reads the database: take its ticket (see keep) and list
  // its entry in `list` (see entry_index: the change feed finds cached entries there), both in
  // one round trip. None when Redis could not be asked: then the build's result is not stored,
  // or an edit could miss it.
  boost::asio::awaitable<std::optional<BinaryRedisCache::build_ticket>> begin_build(
      std::string list, std::string_view key, std::int64_t ttl, std::chrono::milliseconds timeout);

  // Internal tasks for cache invalidation: the number of keys deleted, 0 on any failure.
  boost::asio::awaitable<std::int64_t> _invalidate_layer_cache_task(std::string layer_name);
  boost::asio::awaitable<std::int64_t> _invalidate_all_cache_task();
  boost::asio::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(std::string pattern);

  // Invalidate all cached tiles for a specific layer (runs as background task).
  // Args: layer_name: Name of the layer to invalidate (e.g. 'plots', 'beacons').
  // This runs asynchronously without blocking the response.
  void invalidate_layer_cache(std::string layer_name);
  // Invalidate ALL cached tiles across all layers (runs as background task).
  // Use with caution - only when you need to clear everything.
  // This runs asynchronously without blocking the response.
  void invalidate_all_cache();
  // Invalidate cache entries matching a custom pattern (runs as background task).
  // Args: pattern: Redis pattern to match (e.g. 'plots:18:*' for all zoom 18 plot tiles).
  // This runs asynchronously without blocking the response.
  void invalidate_cache_by_pattern(std::string pattern);

  // Counting, for the metrics (nothing is counted through unbound handles).
  void count_tile(std::string_view layer_name, tile_level level) {
    metrics.results.at(layer_index(layer_name), static_cast<std::size_t>(level)).add();
  }
  void count_statement_timeout() { metrics.statement_timeouts.at().add(); }
  const std::string& public_url() const { return options_.public_url; }
  // The max-age to advertise for a cached tile whose cache entry lives `cache_ttl` seconds.
  int client_max_age(int cache_ttl) const { return options_.client_max_age.value_or(cache_ttl); }
  // How long a built XYZ tile whose zoom keeps it `zoom_ttl` seconds is stored: longer with
  // the feed on when configured so. What clients are told (client_max_age) stays the zoom's.
  int stored_ttl(int zoom_ttl) const {
    return feed_on_ && options_.cache_ttl_with_feed ? *options_.cache_ttl_with_feed : zoom_ttl;
  }
  // Told by the change feed (or a tool that checked the database) whether the feed is installed.
  void set_feed_on(bool on) { feed_on_ = on; }
  bool feed_on() const { return feed_on_; }
  std::size_t max_change_streams() const { return options_.max_change_streams; }
  std::chrono::milliseconds change_heartbeat() const { return options_.change_heartbeat; }
  const std::function<host::database::session()>& open_session() const { return options_.open_session; }

  // The statement time-out to use in place of `standard`.
  std::chrono::milliseconds query_timeout(std::chrono::milliseconds standard) const {
    return options_.query_timeout_override.value_or(standard);
  }

  boost::asio::any_io_executor executor;
  std::shared_ptr<spdlog::logger> logger;
  host::http::router tileGateway;
  const redis_settings settings;
  clients::redis::client redis_client;
  BinaryRedisCache cache;
  // Shared by safe_cache_get and safe_cache_set; the health check and invalidation bypass it.
  cache_breaker breaker;
  // Tiles in this worker's memory, in step with Redis; none when turned off.
  std::unique_ptr<memory_tier> memory;
  // Database builds of XYZ tiles in progress, shared by concurrent misses of the same tile.
  coalescer<host::http::shared_representation> tile_builds;
  const layer_catalogue& layers;
  const tile_metrics metrics;
  // Per layer, the TileJSON fields read from the database (name -> type), kept for a while.
  struct fields_entry {
    nlohmann::ordered_json fields;
    std::chrono::steady_clock::time_point read_at;
  };
  std::map<std::string, fields_entry, std::less<>> layer_fields;
  // The change feed's batches, for the event streams of open maps (GET /gis/changes); the
  // feed publishes here on this worker's event loop.
  change_hub changes;
  // Areas of batches the read replicas have not replayed yet: keep() stores none of their tiles.
  store_holds holds;

 private:
  std::size_t layer_index(std::string_view layer_name) const;
  template <typename T, typename Call>
  boost::asio::awaitable<std::optional<T>> guarded(const char* what, std::string_view key,
                                                   std::chrono::milliseconds timeout, Call call);
  boost::asio::awaitable<bool> store(std::string_view key, std::string_view value, std::int64_t ttl,
                                     std::chrono::milliseconds timeout);
  boost::asio::awaitable<bool> store_if_current(std::string_view key, std::string_view value, std::int64_t ttl,
                                                std::chrono::milliseconds timeout,
                                                const BinaryRedisCache::build_ticket& ticket);
  void register_routes();
  void report(const cache_breaker::change& change, std::chrono::milliseconds bound);
  module_options options_;
  bool feed_on_ = false;
};

}  // namespace mapsvc::tile_gateway
