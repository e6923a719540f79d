#include "topology.hpp"

#include "cluster_router.hpp"
#include "node.hpp"

namespace clients::redis::detail {

asio::awaitable<reply> topology::execute(wire_command command, clock::time_point deadline,
                                         std::optional<std::uint16_t> slot) {
  std::vector<wire_command> one;
  one.push_back(std::move(command));
  auto replies = co_await execute_all(std::move(one), deadline, slot);
  co_return std::move(replies.front());
}

std::shared_ptr<topology> make_topology(asio::any_io_executor executor, options opts) {
  if (opts.is_cluster()) return std::make_shared<cluster_router>(std::move(executor), std::move(opts));
  return std::make_shared<node>(std::move(executor), std::move(opts));
}

}  // namespace clients::redis::detail
