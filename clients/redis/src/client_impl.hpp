#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"
#include "connection.hpp"
#include "request.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

/// The shared state behind `client`. Every coroutine working for it holds a shared_ptr, so the
/// public object may go away while commands are still pending.
class client_impl : public std::enable_shared_from_this<client_impl> {
 public:
  client_impl(asio::any_io_executor executor, options opts);

  const options& settings() const { return opts_; }

  /// Sends one command and waits for its reply (error replies are returned, not thrown).
  static asio::awaitable<reply> execute(std::shared_ptr<client_impl> self, wire_command command,
                                        std::optional<std::chrono::milliseconds> timeout);

  /// Sends several commands back to back on one connection (one write, one round trip) and
  /// waits for all their replies, in order. `timeout` bounds the whole.
  static asio::awaitable<std::vector<reply>> execute_all(std::shared_ptr<client_impl> self,
                                                         std::vector<wire_command> commands,
                                                         std::optional<std::chrono::milliseconds> timeout);

  /// Closes the connections and fails whatever is pending or connecting; later calls fail.
  void shutdown();

 private:
  // One connect in flight per slot; the callers that need it wait as its waiters.
  struct connect_attempt {
    explicit connect_attempt(const asio::any_io_executor& ex, clock::time_point deadline) : timer(ex, deadline) {}
    asio::steady_timer timer;
    std::shared_ptr<connection> conn;
    std::vector<std::shared_ptr<request>> waiters;
  };
  struct slot {
    std::shared_ptr<connection> conn;
    std::shared_ptr<connect_attempt> attempt;
  };

  slot& pick_slot();
  asio::awaitable<std::shared_ptr<connection>> acquire(slot& s, std::shared_ptr<request> req);
  static asio::awaitable<void> run_attempt(std::shared_ptr<client_impl> self, slot* s,
                                           std::shared_ptr<connect_attempt> attempt);
  asio::awaitable<std::shared_ptr<connection>> open(connect_attempt& attempt);
  void throw_if_closed() const;

  asio::any_io_executor executor_;
  options opts_;
  std::vector<slot> slots_;
  std::size_t next_slot_ = 0;
  bool closed_ = false;
};

}  // namespace clients::redis::detail
