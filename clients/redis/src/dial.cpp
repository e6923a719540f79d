#include "dial.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <variant>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "clients/redis/errors.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

namespace {
using namespace asio::experimental::awaitable_operators;
using tcp = asio::ip::tcp;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr auto per_sentinel = std::chrono::seconds(1);

timeout_error timed_out(const std::string& what) { return timeout_error(what + " timed out"); }

asio::awaitable<tcp::socket> dial(asio::any_io_executor ex, const address& where, asio::steady_timer& deadline) {
  const std::string peer = where.text();
  tcp::resolver::results_type endpoints;
  boost::system::error_code not_literal;
  if (const auto literal = asio::ip::make_address(where.host, not_literal); !not_literal) {
    // An address already: no resolver round (Asio resolves on a thread of its own).
    endpoints = tcp::resolver::results_type::create(tcp::endpoint(literal, where.port), where.host,
                                                    std::to_string(where.port));
  } else {
    tcp::resolver resolver(ex);
    const std::string port = std::to_string(where.port);
    auto resolved = co_await (resolver.async_resolve(where.host, port, nothrow) || deadline.async_wait(nothrow));
    if (resolved.index() == 1) throw timed_out("connecting to Redis at " + peer);
    auto [resolve_ec, found] = std::get<0>(std::move(resolved));
    if (resolve_ec) throw connection_error("cannot resolve Redis host " + where.host + ": " + resolve_ec.message());
    endpoints = std::move(found);
  }

  tcp::socket socket(ex);
  auto connected = co_await (asio::async_connect(socket, endpoints, nothrow) || deadline.async_wait(nothrow));
  if (connected.index() == 1) throw timed_out("connecting to Redis at " + peer);
  if (auto [ec, endpoint] = std::get<0>(connected); ec)
    throw connection_error("cannot connect to Redis at " + peer + ": " + ec.message());
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  co_return socket;
}

asio::awaitable<reply> exchange(tcp::socket& socket, const wire_command& command, asio::steady_timer& deadline) {
  auto written = co_await (asio::async_write(socket, asio::buffer(command), nothrow) ||
                           deadline.async_wait(nothrow));
  if (written.index() == 1) throw timed_out("a Redis command");
  if (auto [ec, n] = std::get<0>(written); ec) throw connection_error("Redis connection lost: " + ec.message());
  reply_parser parser;
  std::array<char, 4096> buffer{};
  while (true) {
    if (auto r = parser.next()) co_return std::move(*r);
    auto got = co_await (socket.async_read_some(asio::buffer(buffer), nothrow) || deadline.async_wait(nothrow));
    if (got.index() == 1) throw timed_out("a Redis command");
    auto [ec, n] = std::get<0>(got);
    if (ec) throw connection_error("Redis connection lost: " + ec.message());
    parser.feed(buffer.data(), n);
  }
}

asio::awaitable<address> locate_server(asio::any_io_executor ex, const options& opts, asio::steady_timer& deadline) {
  if (!opts.uses_sentinels()) co_return address{opts.host, opts.port};
  const wire_command question = command_of("SENTINEL", "get-master-addr-by-name", opts.sentinel_master);
  std::string failures;
  for (const auto& sentinel : opts.sentinels) {
    asio::steady_timer bound(ex, std::min(deadline.expiry(), asio::steady_timer::clock_type::now() + per_sentinel));
    try {
      auto socket = co_await dial(ex, sentinel, bound);
      const reply answer = co_await exchange(socket, question, bound);
      // [host, port] as two strings, or nil when this sentinel does not watch that name.
      if (answer.type == reply_type::array && answer.elements.size() == 2 &&
          answer.elements[0].type == reply_type::string && answer.elements[1].type == reply_type::string) {
        const auto found = parse_address_list(answer.elements[0].str + ":" + answer.elements[1].str);
        co_return found.front();
      }
      failures += "; " + sentinel.text() + (answer.is_nil() ? " does not know " + opts.sentinel_master
                                                             : " answered " + (answer.is_error() ? answer.str : "oddly"));
    } catch (const std::exception& e) {
      failures += "; " + sentinel.text() + ": " + e.what();
    }
    if (deadline.expiry() <= asio::steady_timer::clock_type::now()) break;
  }
  throw connection_error("no sentinel named the Redis primary '" + opts.sentinel_master + "'" + failures);
}

asio::awaitable<void> confirm_primary(tcp::socket& socket, const address& where, asio::steady_timer& deadline) {
  const wire_command question = command_of("ROLE");
  const reply role = co_await exchange(socket, question, deadline);
  if (role.type == reply_type::array && !role.elements.empty() && role.elements[0].str == "master") co_return;
  throw connection_error("Redis at " + where.text() + " is not a primary (a failover is under way)");
}

}  // namespace

asio::awaitable<open_server> open_socket(asio::any_io_executor ex, const options& opts, asio::steady_timer& deadline) {
  const address where = co_await locate_server(ex, opts, deadline);
  auto socket = co_await dial(ex, where, deadline);
  if (opts.uses_sentinels()) co_await confirm_primary(socket, where, deadline);
  if (opts.db != 0) {
    // Before the connection carries anyone's command: none may run against database 0.
    const std::string db = std::to_string(opts.db);
    const wire_command select = command_of("SELECT", db);
    const reply selected = co_await exchange(socket, select, deadline);
    if (selected.is_error())
      throw connection_error("SELECT " + db + " on Redis at " + where.text() + " failed: " + selected.str);
  }
  co_return open_server{std::move(socket), where};
}

}  // namespace clients::redis::detail
