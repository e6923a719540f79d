#include "cluster_router.hpp"

#include <algorithm>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "clients/redis/errors.hpp"

namespace clients::redis::detail {

namespace {
using namespace asio::experimental::awaitable_operators;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
// Redirections followed for one command before its error reply is handed back.
constexpr int max_hops = 5;
constexpr auto refresh_spacing = std::chrono::milliseconds(100);
constexpr auto ask_one_node = std::chrono::seconds(1);

bool cluster_unsettled(const reply& r) {
  return r.is_error() && (r.str.starts_with("CLUSTERDOWN") || r.str.starts_with("TRYAGAIN"));
}
}  // namespace

cluster_router::cluster_router(asio::any_io_executor executor, options opts)
    : topology(std::move(opts)), executor_(std::move(executor)) {}

std::shared_ptr<node> cluster_router::node_at(const address& where) {
  auto& n = nodes_[where];
  if (!n) n = std::make_shared<node>(executor_, opts_.at(where));
  return n;
}

address cluster_router::target_of(std::optional<std::uint16_t> slot) const {
  if (slot)
    if (const address* owner = map_->primary_of(*slot)) return *owner;
  return map_->primaries().front();
}

void cluster_router::refresh_soon() {
  if (closed_ || refreshing_ || clock::now() - last_refresh_ < refresh_spacing) return;
  refreshing_ = std::make_shared<asio::steady_timer>(executor_, clock::time_point::max());
  asio::co_spawn(executor_, refresh(shared_from_this()), asio::detached);
}

asio::awaitable<void> cluster_router::refresh(std::shared_ptr<cluster_router> self) {
  const auto running = self->refreshing_;
  std::vector<address> candidates;
  if (self->map_) candidates = self->map_->primaries();
  candidates.insert(candidates.end(), self->opts_.cluster_nodes.begin(), self->opts_.cluster_nodes.end());
  for (const auto& [where, n] : self->nodes_) candidates.push_back(where);
  std::vector<address> asked;
  std::string failures;
  for (const auto& where : candidates) {
    if (self->closed_) break;
    if (std::find(asked.begin(), asked.end(), where) != asked.end()) continue;
    asked.push_back(where);
    try {
      auto n = self->node_at(where);
      auto question = command_of("CLUSTER", "SLOTS");
      const reply answer = co_await n->execute(std::move(question), clock::now() + ask_one_node);
      if (answer.is_error()) {
        failures += "; " + where.text() + ": " + answer.str;
        continue;
      }
      self->map_ = slot_map::from_cluster_slots(answer, where);
      failures.clear();
      break;
    } catch (const std::exception& e) {
      failures += "; " + where.text() + ": " + e.what();
    }
  }
  self->last_failure_ = failures;
  self->last_refresh_ = clock::now();
  self->refreshing_.reset();
  running->cancel();
}

asio::awaitable<void> cluster_router::ensure_map(clock::time_point deadline, bool fresh) {
  if (map_ && !fresh) co_return;
  refresh_soon();
  if (auto running = refreshing_) {
    asio::steady_timer bound(executor_, deadline);
    co_await (running->async_wait(nothrow) || bound.async_wait(nothrow));
  }
  if (closed_) throw connection_error("Redis client is closed");
  if (map_ && !(fresh && refreshing_)) co_return;
  if (refreshing_) throw timeout_error("Redis call timed out while learning the cluster's slots");
  throw connection_error("no node of the Redis Cluster told its slots" + last_failure_);
}

asio::awaitable<std::vector<reply>> cluster_router::execute_all(std::vector<wire_command> commands,
                                                                clock::time_point deadline,
                                                                std::optional<std::uint16_t> slot) {
  const auto self = shared_from_this();  // held while this call waits
  std::optional<address> ask_to;
  for (int hop = 0;; ++hop) {
    co_await ensure_map(deadline, false);
    const address target = ask_to ? *ask_to : target_of(slot);
    std::vector<wire_command> batch;
    batch.reserve(commands.size() * 2);
    for (const auto& command : commands) {
      if (ask_to) batch.push_back(command_of("ASKING"));
      batch.push_back(command);
    }
    auto n = node_at(target);
    std::vector<reply> replies;
    try {
      replies = co_await n->execute_all(std::move(batch), deadline, std::nullopt);
    } catch (const connection_error&) {
      refresh_soon();  // the node may be gone and its slots on their way to a replica
      throw;
    } catch (const timeout_error&) {
      refresh_soon();
      throw;
    }
    if (ask_to) {  // drop the ASKING replies
      std::vector<reply> own;
      for (std::size_t i = 1; i < replies.size(); i += 2) own.push_back(std::move(replies[i]));
      replies = std::move(own);
    }
    std::optional<redirect> redirected;
    for (const auto& r : replies)
      if (r.is_error() && (redirected = parse_redirect(r.str, target))) break;
    if (!redirected) {
      if (std::any_of(replies.begin(), replies.end(), cluster_unsettled)) refresh_soon();
      co_return replies;
    }
    if (hop == max_hops) co_return replies;
    if (redirected->ask) {
      ask_to = redirected->to;
    } else {
      ask_to.reset();
      map_->move(redirected->slot, redirected->to);
      refresh_soon();
    }
  }
}

asio::awaitable<std::vector<address>> cluster_router::primaries(clock::time_point deadline, bool fresh) {
  const auto self = shared_from_this();  // held while this call waits
  co_await ensure_map(deadline, fresh);
  co_return map_->primaries();
}

asio::awaitable<reply> cluster_router::execute_at(address where, wire_command command, clock::time_point deadline) {
  const auto self = shared_from_this();
  if (closed_) throw connection_error("Redis client is closed");
  auto n = node_at(where);
  try {
    co_return co_await n->execute(std::move(command), deadline);
  } catch (const connection_error&) {
    refresh_soon();
    throw;
  }
}

void cluster_router::shutdown() {
  if (closed_) return;
  closed_ = true;
  for (auto& [where, n] : nodes_) n->shutdown();
  if (refreshing_) refreshing_->cancel();
}

}  // namespace clients::redis::detail
