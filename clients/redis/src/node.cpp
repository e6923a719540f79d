#include "node.hpp"

#include <string>

#include "clients/redis/errors.hpp"

namespace clients::redis::detail {

namespace {
// A primary turned replica (a failover ended without this connection noticing) refuses
// writes; the next connect asks the sentinels again.
void drop_if_read_only(connection& conn, const reply& r) {
  if (r.is_error() && r.str.starts_with("READONLY"))
    conn.close(std::make_exception_ptr(connection_error("Redis at " + conn.peer() + " is no longer the primary")));
}
}  // namespace

node::node(asio::any_io_executor executor, options opts) : topology(std::move(opts)), executor_(std::move(executor)) {
  pool_.resize(opts_.connections < 1 ? 1 : static_cast<std::size_t>(opts_.connections));
}

void node::throw_if_closed() const {
  if (closed_) throw connection_error("Redis client is closed");
}

std::shared_ptr<connection> node::next_connection() {
  auto& conn = pool_[next_];
  next_ = (next_ + 1) % pool_.size();
  if (conn && conn->alive()) return conn;
  // A refusal moments ago stands for every connection: a cache that is down costs nothing.
  for (const auto& other : pool_)
    if (other && other->refused_within(opts_.refused_window)) std::rethrow_exception(other->refusal());
  conn = connection::open(executor_, opts_);
  return conn;
}

asio::awaitable<std::vector<reply>> node::execute_all(std::vector<wire_command> commands, clock::time_point deadline,
                                                      std::optional<std::uint16_t>) {
  throw_if_closed();
  const auto conn = next_connection();
  const char* late = conn->opened() ? "Redis call timed out" : "Redis call timed out while connecting";
  // Queued without a suspension in between, so they leave in the same write.
  std::vector<std::shared_ptr<request>> requests;
  requests.reserve(commands.size());
  for (auto& command : commands) {
    requests.push_back(std::make_shared<request>(executor_, deadline));
    conn->send(std::move(command), requests.back());
  }
  std::vector<reply> replies;
  replies.reserve(requests.size());
  for (auto& req : requests) {
    replies.push_back(co_await req->wait(late));
    drop_if_read_only(*conn, replies.back());
  }
  co_return replies;
}

asio::awaitable<std::vector<address>> node::primaries(clock::time_point, bool) {
  co_return std::vector<address>{address{opts_.host, opts_.port}};
}

asio::awaitable<reply> node::execute_at(address, wire_command command, clock::time_point deadline) {
  co_return co_await execute(std::move(command), deadline);
}

void node::shutdown() {
  if (closed_) return;
  closed_ = true;
  const auto why = std::make_exception_ptr(connection_error("Redis client is closed"));
  for (auto& conn : pool_)
    if (conn) conn->close(why);
}

}  // namespace clients::redis::detail
