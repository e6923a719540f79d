#include "client_impl.hpp"

#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "clients/redis/errors.hpp"

namespace clients::redis::detail {

namespace {
using namespace asio::experimental::awaitable_operators;
using tcp = asio::ip::tcp;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

std::string peer_of(const options& o) { return o.host + ":" + std::to_string(o.port); }
}  // namespace

client_impl::client_impl(asio::any_io_executor executor, options opts)
    : executor_(std::move(executor)), opts_(std::move(opts)) {
  slots_.resize(opts_.connections < 1 ? 1 : static_cast<std::size_t>(opts_.connections));
}

void client_impl::throw_if_closed() const {
  if (closed_) throw connection_error("Redis client is closed");
}

asio::awaitable<reply> client_impl::execute(std::shared_ptr<client_impl> self, wire_command command,
                                            std::optional<std::chrono::milliseconds> timeout) {
  self->throw_if_closed();
  auto req = std::make_shared<request>(self->executor_, deadline_after(timeout));
  slot& s = self->pick_slot();
  std::shared_ptr<connection> conn = s.conn;
  if (!conn || !conn->alive()) conn = co_await self->acquire(s, req);
  conn->send(std::move(command), req);
  co_return co_await req->wait("Redis call timed out");
}

asio::awaitable<std::vector<reply>> client_impl::execute_all(std::shared_ptr<client_impl> self,
                                                             std::vector<wire_command> commands,
                                                             std::optional<std::chrono::milliseconds> timeout) {
  self->throw_if_closed();
  const auto deadline = deadline_after(timeout);
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
  for (auto& req : requests) replies.push_back(co_await req->wait("Redis call timed out"));
  co_return replies;
}

client_impl::slot& client_impl::pick_slot() {
  slot& s = slots_[next_slot_];
  next_slot_ = (next_slot_ + 1) % slots_.size();
  return s;
}

asio::awaitable<std::shared_ptr<connection>> client_impl::acquire(slot& s, std::shared_ptr<request> req) {
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
    throw connection_error("connection to Redis at " + peer_of(opts_) + " lost right after connecting");
  co_return s.conn;
}

asio::awaitable<void> client_impl::run_attempt(std::shared_ptr<client_impl> self, slot* s,
                                               std::shared_ptr<connect_attempt> attempt) {
  std::exception_ptr failure;
  std::shared_ptr<connection> conn;
  try {
    conn = co_await self->open(*attempt);
  } catch (...) {
    failure = std::current_exception();
  }
  s->attempt.reset();
  if (!failure) s->conn = conn;
  for (auto& waiter : attempt->waiters) {
    if (failure)
      waiter->fail(failure);
    else
      waiter->complete(reply{});
  }
}

// Resolve, connect and SELECT, all within the connect time-out. shutdown() cancels the
// attempt's timer, which ends whichever race is running; closed_ is checked after each step.
asio::awaitable<std::shared_ptr<connection>> client_impl::open(connect_attempt& attempt) {
  const std::string peer = peer_of(opts_);
  const auto timed_out = [&] {
    return timeout_error("connecting to Redis at " + peer + " timed out after " +
                         std::to_string(opts_.connect_timeout.count()) + " ms");
  };

  tcp::resolver resolver(executor_);
  auto resolved = co_await (resolver.async_resolve(opts_.host, std::to_string(opts_.port), nothrow) ||
                            attempt.timer.async_wait(nothrow));
  throw_if_closed();
  if (resolved.index() == 1) throw timed_out();
  auto [resolve_ec, endpoints] = std::get<0>(std::move(resolved));
  if (resolve_ec) throw connection_error("cannot resolve Redis host " + opts_.host + ": " + resolve_ec.message());

  tcp::socket socket(executor_);
  auto connected = co_await (asio::async_connect(socket, endpoints, nothrow) || attempt.timer.async_wait(nothrow));
  throw_if_closed();
  if (connected.index() == 1) throw timed_out();
  if (auto [ec, endpoint] = std::get<0>(connected); ec)
    throw connection_error("cannot connect to Redis at " + peer + ": " + ec.message());
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);

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

void client_impl::shutdown() {
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
