#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "cluster_map.hpp"
#include "node.hpp"

namespace clients::redis::detail {

/// Sends each command to the primary that serves its key's slot, one pipelined connection
/// per node. The slot map comes from CLUSTER SLOTS, asked of the seeds the first time; it is
/// asked again (by one refresh at a time, at most every 100 ms) after a MOVED redirection and
/// after a node failed to answer, which is how a failover is followed. An ASK redirection
/// sends the command once to the node named, after ASKING, and leaves the map as it is.
class cluster_router : public topology, public std::enable_shared_from_this<cluster_router> {
 public:
  cluster_router(asio::any_io_executor executor, options opts);

  asio::awaitable<std::vector<reply>> execute_all(std::vector<wire_command> commands, clock::time_point deadline,
                                                  std::optional<std::uint16_t> slot) override;
  asio::awaitable<std::vector<address>> primaries(clock::time_point deadline, bool fresh) override;
  asio::awaitable<reply> execute_at(address where, wire_command command, clock::time_point deadline) override;
  void shutdown() override;

 private:
  std::shared_ptr<node> node_at(const address& where);
  asio::awaitable<void> ensure_map(clock::time_point deadline, bool fresh);
  static asio::awaitable<void> refresh(std::shared_ptr<cluster_router> self);
  void refresh_soon();
  address target_of(std::optional<std::uint16_t> slot) const;

  asio::any_io_executor executor_;
  std::map<address, std::shared_ptr<node>> nodes_;
  std::optional<slot_map> map_;
  // Cancelled when the refresh in progress ends; whoever needs the map waits for that.
  std::shared_ptr<asio::steady_timer> refreshing_;
  clock::time_point last_refresh_{};
  std::string last_failure_;
  bool closed_ = false;
};

}  // namespace clients::redis::detail
