#include "node.hpp"

#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "clients/redis/errors.hpp"
#include "dial.hpp"

namespace clients::redis::detail {

namespace {
std::string where_of(const options& o) {
  return o.uses_sentinels() ? "the primary '" + o.sentinel_master + "'" : o.host + ":" + std::to_string(o.port);
}

// A primary turned replica (a failover ended without this connection noticing) refuses
// writes; the next connect asks the sentinels again.
void drop_if_read_only(connection& conn, const reply& r) {
  if (r.is_error() && r.str.starts_with("READONLY"))
    conn.close(std::make_exception_ptr(connection_error("Redis at " + conn.peer() + " is no longer the primary")));
}
}  // namespace

node::node(asio::any_io_executor executor, options opts) : topology(std::move(opts)), executor_(std::move(executor)) {
  const std::size_t size = opts_.connections < 1 ? 1 : static_cast<std::size_t>(opts_.connections);
  for (std::size_t i = 0; i < size; ++i) pool_.push_back(std::make_shared<pooled>());
}

void node::throw_if_closed() const {
  if (closed_) throw connection_error("Redis client is closed");
}

asio::awaitable<std::vector<reply>> node::execute_all(std::vector<wire_command> commands, clock::time_point deadline,
                                                      std::optional<std::uint16_t>) {
  throw_if_closed();
  auto first = std::make_shared<request>(executor_, deadline);
  auto entry = pool_[next_];
  next_ = (next_ + 1) % pool_.size();
  std::shared_ptr<connection> conn = entry->conn;
  if (!conn || !conn->alive()) conn = co_await acquire(entry, first);
  // Queued without a suspension in between, so they leave in the same write.
  std::vector<std::shared_ptr<request>> requests;
  requests.reserve(commands.size());
  for (auto& command : commands) {
    auto req = requests.empty() ? first : std::make_shared<request>(executor_, deadline);
    conn->send(std::move(command), req);
    requests.push_back(std::move(req));
  }
  std::vector<reply> replies;
  replies.reserve(requests.size());
  for (auto& req : requests) {
    replies.push_back(co_await req->wait("Redis call timed out"));
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

asio::awaitable<std::shared_ptr<connection>> node::acquire(std::shared_ptr<pooled> entry, std::shared_ptr<request> req) {
  if (refused_ && clock::now() < refused_until_) std::rethrow_exception(refused_);
  if (!entry->attempt) {
    entry->attempt = std::make_shared<connect_attempt>(executor_, connect_deadline(opts_));
    asio::co_spawn(executor_, run_attempt(shared_from_this(), entry), asio::detached);
  }
  entry->attempt->waiters.push_back(req);
  co_await req->wait("Redis call timed out while connecting");
  req->rearm();
  throw_if_closed();
  if (!entry->conn || !entry->conn->alive())
    throw connection_error("connection to Redis at " + where_of(opts_) + " lost right after connecting");
  co_return entry->conn;
}

// Find the server, connect, check its role, SELECT: all within the connect time-out.
// shutdown() cancels the attempt's timer, which ends whichever step is running.
asio::awaitable<void> node::run_attempt(std::shared_ptr<node> self, std::shared_ptr<pooled> entry) {
  const auto attempt = entry->attempt;
  std::exception_ptr failure;
  try {
    entry->conn = co_await open_connection(self->executor_, self->opts_, attempt->timer);
    self->throw_if_closed();
  } catch (const timeout_error&) {
    failure = self->closed_ ? std::make_exception_ptr(connection_error("Redis client is closed"))
                            : std::make_exception_ptr(timeout_error(
                                  "connecting to Redis at " + where_of(self->opts_) + " timed out after " +
                                  std::to_string(self->opts_.connect_timeout.count()) + " ms"));
  } catch (const connection_error&) {
    failure = std::current_exception();
    // A time-out is not cheap to repeat either, but its callers' own bounds and the cache's
    // breaker deal with it; a refusal is answered again for a moment without dialling.
    if (self->opts_.refused_window.count() > 0 && !self->closed_) {
      self->refused_ = failure;
      self->refused_until_ = clock::now() + self->opts_.refused_window;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && entry->conn) entry->conn->close(failure);
  entry->attempt.reset();
  for (auto& waiter : attempt->waiters) {
    if (failure)
      waiter->fail(failure);
    else
      waiter->complete(reply{});
  }
}

void node::shutdown() {
  if (closed_) return;
  closed_ = true;
  const auto why = std::make_exception_ptr(connection_error("Redis client is closed"));
  for (auto& entry : pool_) {
    if (entry->conn) entry->conn->close(why);
    if (entry->attempt) entry->attempt->timer.cancel();
  }
}

}  // namespace clients::redis::detail
