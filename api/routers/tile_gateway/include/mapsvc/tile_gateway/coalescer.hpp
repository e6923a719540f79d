#pragma once
// Concurrent misses for one tile run one database statement: the first request builds the
// tile, the others wait for its result (a tile, an empty tile, or the same error). After an
// invalidation, a crowd of clients asking for the same tiles costs one query per tile.

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "host/cancellation.hpp"

namespace mapsvc::tile_gateway {

template <typename Result>
class coalescer {
 public:
  // `build()` for `key`, or the result of the build of `key` already running. A waiter whose
  // builder went away without a result (its request was cancelled) builds for itself.
  template <typename Build>
  boost::asio::awaitable<Result> run(const std::string& key, Build build) {
    if (const auto it = flights_.find(key); it != flights_.end()) {
      const auto existing = it->second;
      while (!existing->finished) co_await existing->done.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
      if (existing->failure) std::rethrow_exception(existing->failure);
      if (existing->result) co_return *existing->result;
    }
    auto flight = std::make_shared<flight_state>(co_await boost::asio::this_coro::executor);
    flights_[key] = flight;
    // Finishes the flight however this coroutine ends, so that no waiter waits forever.
    const landing land{*this, key, flight};
    try {
      flight->result = co_await build();
    } catch (...) {
      // A builder cancelled (shutdown) leaves its waiters to build for themselves.
      if (!host::is_cancellation(std::current_exception())) flight->failure = std::current_exception();
      throw;
    }
    co_return *flight->result;
  }

  std::size_t in_flight() const { return flights_.size(); }

 private:
  struct flight_state {
    explicit flight_state(const boost::asio::any_io_executor& ex)
        : done(ex, boost::asio::steady_timer::time_point::max()) {}
    boost::asio::steady_timer done;
    bool finished = false;
    std::optional<Result> result;
    std::exception_ptr failure;
  };

  struct landing {
    coalescer& owner;
    const std::string& key;
    std::shared_ptr<flight_state> flight;
    ~landing() {
      flight->finished = true;
      flight->done.cancel();
      if (const auto it = owner.flights_.find(key); it != owner.flights_.end() && it->second == flight)
        owner.flights_.erase(it);
    }
  };

  std::unordered_map<std::string, std::shared_ptr<flight_state>> flights_;
};

}  // namespace mapsvc::tile_gateway
