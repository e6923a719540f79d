#include "node.hpp"

#include <array>
#include <string>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "clients/redis/errors.hpp"
#include "dial.hpp"

namespace clients::redis::detail {

namespace {
std::string where_of(const options& o) {
  return o.uses_sentinels() ? "the primary '" + o.sentinel_master + "'" : o.host + ":" + std::to_string(o.port);
}
}  // namespace

node::node(asio::any_io_executor executor, options opts) : executor_(std::move(executor)), opts_(std::move(opts)) {
  slots_.resize(opts_.connections < 1 ? 1 : static_cast<std::size_t>(opts_.connections));
}

void node::throw_if_closed() const {
  if (closed_) throw connection_error("Redis client is closed");
}

// A primary turned replica (a failover ended without this connection noticing) refuses
// writes; the next connect asks the sentinels again.
void node::drop_if_read_only(const std::shared_ptr<connection>& conn, const reply& r) {
  if (r.is_error() && r.str.starts_with("READONLY"))
    conn->close(std::make_exception_ptr(connection_error("Redis at " + conn->peer() + " is no longer the primary")));
}

asio::awaitable<reply> node::execute(std::shared_ptr<node> self, wire_command command, clock::time_point deadline) {
  self->throw_if_closed();
  auto req = std::make_shared<request>(self->executor_, deadline);
  slot& s = self->pick_slot();
  std::shared_ptr<connection> conn = s.conn;
  if (!conn || !conn->alive()) conn = co_await self->acquire(s, req);
  conn->send(std::move(command), req);
  reply r = co_await req->wait("Redis call timed out");
  self->drop_if_read_only(conn, r);
  co_return r;
}

asio::awaitable<std::vector<reply>> node::execute_all(std::shared_ptr<node> self, std::vector<wire_command> commands,
                                                      clock::time_point deadline) {
  self->throw_if_closed();
  auto first = std::make_shared<request>(self->executor_, deadline);
  slot& s = self->pick_slot();
  std::shared_ptr<connection> conn = s.conn;
  if (!conn || !conn->alive()) conn = co_await self->acquire(s, first);
  // Queued without a suspension in between, so they leave in the same write.
  std::vector<std::shared_ptr<request>> requests;
  requests.reserve(commands.size());
  for (auto& command : commands) {
    auto req = requests.empty() ? first : std::make_shared<request>(self->executor_, deadline);
    conn->send(std::move(command), req);
    requests.push_back(std::move(req));
  }
  std::vector<reply> replies;
  replies.reserve(requests.size());
  for (auto& req : requests) {
    replies.push_back(co_await req->wait("Redis call timed out"));
    self->drop_if_read_only(conn, replies.back());
  }
  co_return replies;
}

node::slot& node::pick_slot() {
  slot& s = slots_[next_slot_];
  next_slot_ = (next_slot_ + 1) % slots_.size();
  return s;
}

asio::awaitable<std::shared_ptr<connection>> node::acquire(slot& s, std::shared_ptr<request> req) {
  if (refused_ && clock::now() < refused_until_) std::rethrow_exception(refused_);
  if (!s.attempt) {
    const auto limit = opts_.connect_timeout.count() > 0 ? std::optional(opts_.connect_timeout) : std::nullopt;
    s.attempt = std::make_shared<connect_attempt>(executor_, deadline_after(limit));
    asio::co_spawn(executor_, run_attempt(shared_from_this(), &s, s.attempt), asio::detached);
  }
  s.attempt->waiters.push_back(req);
  co_await req->wait("Redis call timed out while connecting");
  req->rearm();
  throw_if_closed();
  if (!s.conn || !s.conn->alive())
    throw connection_error("connection to Redis at " + where_of(opts_) + " lost right after connecting");
  co_return s.conn;
}

asio::awaitable<void> node::run_attempt(std::shared_ptr<node> self, slot* s, std::shared_ptr<connect_attempt> attempt) {
  std::exception_ptr failure;
  std::shared_ptr<connection> conn;
  try {
    conn = co_await self->open(*attempt);
  } catch (...) {
    failure = std::current_exception();
  }
  s->attempt.reset();
  if (!failure) s->conn = conn;
  if (failure && self->opts_.refused_window.count() > 0) {
    try {
      std::rethrow_exception(failure);
    } catch (const timeout_error&) {
      // A time-out is not cheap to repeat either, but its callers' own bounds and the cache's
      // breaker deal with it.
    } catch (const connection_error&) {
      self->refused_ = failure;
      self->refused_until_ = clock::now() + self->opts_.refused_window;
    } catch (...) {
    }
  }
  for (auto& waiter : attempt->waiters) {
    if (failure)
      waiter->fail(failure);
    else
      waiter->complete(reply{});
  }
}

// Find the server (ask the sentinels, if any), connect, check its role, SELECT: all within
// the connect time-out. shutdown() cancels the attempt's timer, which ends whichever step is
// running; closed_ is checked after each step.
asio::awaitable<std::shared_ptr<connection>> node::open(connect_attempt& attempt) {
  address where;
  asio::ip::tcp::socket socket(executor_);
  try {
    where = co_await locate_server(executor_, opts_, attempt.timer);
    throw_if_closed();
    socket = co_await dial(executor_, where, attempt.timer);
    throw_if_closed();
    if (opts_.uses_sentinels()) co_await confirm_primary(socket, where, attempt.timer);
  } catch (const timeout_error&) {
    throw_if_closed();
    throw timeout_error("connecting to Redis at " + where_of(opts_) + " timed out after " +
                        std::to_string(opts_.connect_timeout.count()) + " ms");
  }
  throw_if_closed();
  const std::string peer = where.text();

  auto conn = std::make_shared<connection>(std::move(socket), peer, opts_.socket_timeout);
  connection::start(conn);
  attempt.conn = conn;
  if (opts_.db != 0) {
    // Nobody else may use the connection before SELECT succeeded, or their commands would
    // run against database 0.
    const std::string db = std::to_string(opts_.db);
    const std::array<std::string_view, 2> args{"SELECT", db};
    auto req = std::make_shared<request>(executor_, attempt.timer.expiry());
    conn->send(format_command(args), req);
    reply selected;
    try {
      selected = co_await req->wait("Redis SELECT timed out while connecting");
    } catch (...) {
      conn->close(std::current_exception());
      throw;
    }
    throw_if_closed();
    if (selected.is_error()) {
      connection_error failure("SELECT " + db + " on Redis at " + peer + " failed: " + selected.str);
      conn->close(std::make_exception_ptr(failure));
      throw failure;
    }
  }
  co_return conn;
}

void node::shutdown() {
  if (closed_) return;
  closed_ = true;
  const auto why = std::make_exception_ptr(connection_error("Redis client is closed"));
  for (auto& s : slots_) {
    if (s.conn) s.conn->close(why);
    if (s.attempt) {
      s.attempt->timer.cancel();
      if (s.attempt->conn) s.attempt->conn->close(why);
    }
  }
}

}  // namespace clients::redis::detail
