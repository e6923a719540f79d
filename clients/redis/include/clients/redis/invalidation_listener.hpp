#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "clients/redis/options.hpp"

namespace clients::redis {

namespace asio = boost::asio;

namespace detail {
class listener_state;
}

/// Server-assisted client-side caching, broadcast mode: a connection of its own that asks
/// Redis to report every change (write, delete, expiry, eviction, flush) of the keys under a
/// prefix, whoever makes it, and passes the reports on. It works with RESP2: the connection
/// enables tracking with itself as the redirect target, then subscribes to
/// `__redis__:invalidate`.
///
/// While the connection is down (and until the next one is tracking) changes may be missed,
/// so `on_tracking(false)` tells the owner to stop trusting what it keeps. The listener
/// reconnects by itself, pings to notice a connection that went quiet, and stops with
/// `stop()` or its destruction. Callbacks run on the executor.
///
/// With Sentinel in the options it listens to the current primary, asked of the sentinels on
/// every connect. In a Redis Cluster it listens to every primary (each reports its own keys)
/// and is tracking only while all of them are; it follows the primaries as they change.
class invalidation_listener {
 public:
  struct callbacks {
    /// Keys that changed, as Redis names them (with their prefix).
    std::function<void(std::vector<std::string> keys)> on_keys;
    /// Every key may have changed (FLUSHALL, FLUSHDB).
    std::function<void()> on_flush;
    /// Tracking began (true) or may have lost changes (false).
    std::function<void(bool tracking)> on_tracking;
  };

  struct settings {
    std::string prefix;
    /// Between two attempts to connect.
    std::chrono::milliseconds retry_delay{500};
    /// A PING goes out this often; a connection without any reply for three times as long is
    /// given up.
    std::chrono::milliseconds ping_interval{1000};
  };

  /// Starts at once (the first connection attempt is made on `executor`).
  invalidation_listener(asio::any_io_executor executor, options where, settings how, callbacks calls);
  ~invalidation_listener();
  invalidation_listener(const invalidation_listener&) = delete;
  invalidation_listener& operator=(const invalidation_listener&) = delete;

  /// Closes the connection; no callback runs after this returns, and `tracking()` is false.
  void stop();

  bool tracking() const;

 private:
  std::shared_ptr<detail::listener_state> state_;
};

}  // namespace clients::redis
