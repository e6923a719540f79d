#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "connection.hpp"
#include "topology.hpp"

namespace clients::redis::detail {

/// The connections to one Redis server, each pipelined, opened on first need and again after
/// a failure. With sentinels in the options, every connect first asks them which server is
/// the primary now, so a failover is followed on the next connect.
class node : public topology, public std::enable_shared_from_this<node> {
 public:
  node(asio::any_io_executor executor, options opts);

  asio::awaitable<std::vector<reply>> execute_all(std::vector<wire_command> commands, clock::time_point deadline,
                                                  std::optional<std::uint16_t> slot = std::nullopt) override;
  asio::awaitable<std::vector<address>> primaries(clock::time_point deadline, bool fresh) override;
  asio::awaitable<reply> execute_at(address where, wire_command command, clock::time_point deadline) override;
  void shutdown() override;

 private:
  // One connect in flight per pool entry; the callers that need it wait as its waiters.
  struct connect_attempt {
    explicit connect_attempt(const asio::any_io_executor& ex, clock::time_point deadline) : timer(ex, deadline) {}
    asio::steady_timer timer;
    std::vector<std::shared_ptr<request>> waiters;
  };
  struct pooled {
    std::shared_ptr<connection> conn;
    std::shared_ptr<connect_attempt> attempt;
  };

  asio::awaitable<std::shared_ptr<connection>> acquire(std::shared_ptr<pooled> entry, std::shared_ptr<request> req);
  static asio::awaitable<void> run_attempt(std::shared_ptr<node> self, std::shared_ptr<pooled> entry);
  void throw_if_closed() const;

  asio::any_io_executor executor_;
  std::vector<std::shared_ptr<pooled>> pool_;
  std::size_t next_ = 0;
  bool closed_ = false;
  // The last failed connect (not a time-out), answered again to calls until refused_until_.
  std::exception_ptr refused_;
  clock::time_point refused_until_{};
};

}  // namespace clients::redis::detail
