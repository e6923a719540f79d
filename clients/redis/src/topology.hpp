#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"
#include "request.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

/// Where commands go: one server (given, or the primary Sentinel names) or a Redis Cluster.
/// Callers hold the topology by shared_ptr while they await it; whatever it spawns holds one
/// too, so its owner may go away while commands are still pending.
class topology {
 public:
  explicit topology(options opts) : opts_(std::move(opts)) {}
  virtual ~topology() = default;
  topology(const topology&) = delete;
  topology& operator=(const topology&) = delete;

  const options& settings() const { return opts_; }

  /// The commands back to back on one connection (one write, one round trip), their replies
  /// in order, error replies as values, until `deadline`. `slot`: the slot of the commands'
  /// keys, which decides the node in a cluster (they must share it); none: any server.
  virtual asio::awaitable<std::vector<reply>> execute_all(std::vector<wire_command> commands,
                                                          clock::time_point deadline,
                                                          std::optional<std::uint16_t> slot) = 0;

  /// The servers that together hold every key: the one server, or each cluster primary.
  /// `fresh`: asked of the servers now rather than as last learnt.
  virtual asio::awaitable<std::vector<address>> primaries(clock::time_point deadline, bool fresh = false) = 0;

  /// One command to one of the `primaries`, as it is (SCAN walks each on its own).
  virtual asio::awaitable<reply> execute_at(address where, wire_command command, clock::time_point deadline) = 0;

  /// Closes the connections and fails whatever is pending or connecting; later calls fail.
  virtual void shutdown() = 0;

  /// One command: `execute_all` of one.
  asio::awaitable<reply> execute(wire_command command, clock::time_point deadline,
                                 std::optional<std::uint16_t> slot = std::nullopt);

 protected:
  options opts_;
};

/// The topology `opts` describe; nothing is opened until the first command.
std::shared_ptr<topology> make_topology(asio::any_io_executor executor, options opts);

}  // namespace clients::redis::detail
