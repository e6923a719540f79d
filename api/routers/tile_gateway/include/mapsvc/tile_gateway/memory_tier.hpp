#pragma once
// Tiles kept in the worker's memory in front of Redis, and kept in step with Redis itself:
// Redis reports every change of a key under the cache's namespace (a write, a delete, an
// expiry, made by any process on any machine) on a connection of its own, and the entry is
// dropped here. While that connection is down nothing is served from memory, since changes
// may be missed; the memory is emptied and used again once tracking is back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/asio/any_io_executor.hpp>
#include <spdlog/logger.h>

#include "clients/redis/invalidation_listener.hpp"
#include "host/http/representation.hpp"
#include "mapsvc/tile_gateway/memory_cache.hpp"

namespace mapsvc::tile_gateway {

class memory_tier {
 public:
  using clock = std::chrono::steady_clock;

  // `cache_namespace` without its ":"; keys here are the callers' keys, as in Redis after it.
  memory_tier(boost::asio::any_io_executor executor, const clients::redis::options& redis,
              std::string cache_namespace, std::size_t capacity_bytes, std::shared_ptr<spdlog::logger> logger);

  // The tile for `key`, when memory is in step with Redis and holds it.
  host::http::shared_representation find(std::string_view key);

  // Taken before asking Redis for a value (or storing one): `insert` then keeps the value only
  // if no change of the key was reported in between, since the report may overtake the reply.
  std::uint64_t ticket() const { return reports_; }

  // Keeps `tile` for at most `ttl` (the time the Redis copy has left).
  void insert(std::string key, host::http::shared_representation tile, std::chrono::milliseconds ttl,
              std::uint64_t ticket);

  bool in_step() const { return in_step_; }
  std::size_t bytes() const { return cache_.bytes(); }
  std::size_t entries() const { return cache_.entries(); }

  // What Redis reports (public for tests; the listener calls them).
  void changed(const std::vector<std::string>& redis_keys);
  void flushed();
  void tracking(bool on);

 private:
  void forget_old_reports(clock::time_point now);

  std::string prefix_;  // "mvt_v8:"
  memory_cache<host::http::representation> cache_;
  std::shared_ptr<spdlog::logger> logger_;
  bool in_step_ = false;
  std::uint64_t reports_ = 0;        // changes reported so far
  std::uint64_t everything_at_ = 0;  // report count when everything last changed (flush, tracking lost)
  // The report count at each key's latest change, for the replies still in flight: kept a
  // few seconds, far longer than any Redis call may take.
  std::unordered_map<std::string, std::uint64_t> recent_;
  struct report {
    clock::time_point at;
    std::string key;
    std::uint64_t report;
  };
  std::deque<report> recent_order_;
  std::unique_ptr<clients::redis::invalidation_listener> listener_;
};

}  // namespace mapsvc::tile_gateway
