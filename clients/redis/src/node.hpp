#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "connection.hpp"
#include "topology.hpp"

namespace clients::redis::detail {

/// The connections to one Redis server, each pipelined, opened on first need and again after
/// a failure (a refusal is answered again for `refused_window` without dialling). With
/// sentinels in the options, every connect first asks them which server is the primary now,
/// so a failover is followed on the next connect.
class node : public topology, public std::enable_shared_from_this<node> {
 public:
  node(asio::any_io_executor executor, options opts);

  asio::awaitable<std::vector<reply>> execute_all(std::vector<wire_command> commands, clock::time_point deadline,
                                                  std::optional<std::uint16_t> slot) override;
  asio::awaitable<std::vector<address>> primaries(clock::time_point deadline, bool fresh) override;
  asio::awaitable<reply> execute_at(address where, wire_command command, clock::time_point deadline) override;
  void shutdown() override;

 private:
  std::shared_ptr<connection> next_connection();
  void throw_if_closed() const;

  asio::any_io_executor executor_;
  std::vector<std::shared_ptr<connection>> pool_;
  std::size_t next_ = 0;
  bool closed_ = false;
};

}  // namespace clients::redis::detail
