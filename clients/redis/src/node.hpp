#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
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

/// The connections to one Redis server, each pipelined, opened on first need and again after
/// a failure. With sentinels in the options, every connect first asks them which server is
/// the primary now, so a failover is followed on the next connect. Every coroutine working
/// for it holds a shared_ptr, so its owner may go away while commands are still pending.
class node : public std::enable_shared_from_this<node> {
 public:
  node(asio::any_io_executor executor, options opts);

  const options& settings() const { return opts_; }

  /// Sends one command and waits for its reply until `deadline` (error replies are returned,
  /// not thrown).
  static asio::awaitable<reply> execute(std::shared_ptr<node> self, wire_command command, clock::time_point deadline);

  /// Sends several commands back to back on one connection (one write, one round trip) and
  /// waits for all their replies, in order, until `deadline`.
  static asio::awaitable<std::vector<reply>> execute_all(std::shared_ptr<node> self, std::vector<wire_command> commands,
                                                         clock::time_point deadline);

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
  static asio::awaitable<void> run_attempt(std::shared_ptr<node> self, slot* s, std::shared_ptr<connect_attempt> attempt);
  asio::awaitable<std::shared_ptr<connection>> open(connect_attempt& attempt);
  void throw_if_closed() const;
  void drop_if_read_only(const std::shared_ptr<connection>& conn, const reply& r);

  asio::any_io_executor executor_;
  options opts_;
  std::vector<slot> slots_;
  std::size_t next_slot_ = 0;
  bool closed_ = false;
  // The last failed connect (not a time-out), answered again to calls until refused_until_.
  std::exception_ptr refused_;
  clock::time_point refused_until_{};
};

}  // namespace clients::redis::detail
