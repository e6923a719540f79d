#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"
#include "cluster_router.hpp"
#include "node.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

/// The shared state behind `client`: one server (found directly or through Sentinel), or a
/// Redis Cluster. Every coroutine working for it holds a shared_ptr, so the public object may
/// go away while commands are still pending.
class client_impl {
 public:
  client_impl(asio::any_io_executor executor, options opts);

  const options& settings() const { return opts_; }

  /// Sends one command and waits for its reply (error replies are returned, not thrown).
  /// `slot`: the slot of the command's key, which decides the node in a cluster.
  static asio::awaitable<reply> execute(std::shared_ptr<client_impl> self, wire_command command,
                                        std::optional<std::chrono::milliseconds> timeout,
                                        std::optional<std::uint16_t> slot = std::nullopt);

  /// Sends several commands back to back (one write, one round trip) and waits for all their
  /// replies, in order. `timeout` bounds the whole; in a cluster they must share `slot`.
  static asio::awaitable<std::vector<reply>> execute_all(std::shared_ptr<client_impl> self,
                                                         std::vector<wire_command> commands,
                                                         std::optional<std::chrono::milliseconds> timeout,
                                                         std::optional<std::uint16_t> slot = std::nullopt);

  /// The servers that together hold every key: the one server, or each cluster primary.
  static asio::awaitable<std::vector<address>> key_holders(std::shared_ptr<client_impl> self);

  /// One command to one of the `key_holders` (SCAN walks each on its own).
  static asio::awaitable<reply> execute_at(std::shared_ptr<client_impl> self, address holder,
                                           wire_command command);

  /// Closes the connections and fails whatever is pending or connecting; later calls fail.
  void shutdown();

 private:
  options opts_;
  std::shared_ptr<node> single_;             // one server
  std::shared_ptr<cluster_router> cluster_;  // or a cluster
};

}  // namespace clients::redis::detail
