#pragma once
// The tile service module: its state, built once in a fixed order, and its route table.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <spdlog/logger.h>

#include "clients/redis/client.hpp"
#include "host/http/router.hpp"
#include "mapsvc/tile_gateway/binary_redis_cache.hpp"
#include "mapsvc/tile_gateway/cache_breaker.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/redis_settings.hpp"

namespace mapsvc::tile_gateway {

struct module_options {
  // Where the Redis settings come from (REDIS_HOST, REDIS_PORT, REDIS_DB).
  getenv_function getenv = std::getenv;
  // Replaces every statement time-out; for tests that must not wait the real ones.
  std::optional<std::chrono::milliseconds> query_timeout_override{};
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
  const layer_catalogue& layers;

 private:
  void register_routes();
  void report(const cache_breaker::change& change, std::chrono::milliseconds bound);
  module_options options_;
};

// The process's one module, loaded on first call (later calls return the same one).
tile_gateway_module& load(boost::asio::any_io_executor executor, module_options options = {});

}  // namespace mapsvc::tile_gateway
