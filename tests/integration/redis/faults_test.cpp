// Connection life: lazy connect, shared connect, time-outs, paused and restarted servers,
// garbage on the wire, and destroying the client with calls in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "support.hpp"

using namespace redis_test;
using tcp = asio::ip::tcp;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

// Answers "+PONG" to every command (our test commands hold no '*' but their header), and
// a protocol violation once it has seen "GARBAGE". Keeps what each connection received.
struct fake_redis {
  explicit fake_redis(asio::io_context& ioc, unsigned short port = 0)
      : acceptor(ioc, {asio::ip::make_address("127.0.0.1"), port}) {
    asio::co_spawn(ioc, accept_loop(this), asio::detached);
  }
  static asio::awaitable<void> accept_loop(fake_redis* self) {
    for (;;) {
      auto [ec, socket] = co_await self->acceptor.async_accept(nothrow);
      if (ec) co_return;
      self->sockets.push_back(std::make_shared<tcp::socket>(std::move(socket)));
      self->received.emplace_back();
      asio::co_spawn(self->acceptor.get_executor(), session(self, self->sockets.size() - 1), asio::detached);
    }
  }
  static asio::awaitable<void> session(fake_redis* self, std::size_t i) {
    auto socket = self->sockets[i];
    char buf[4096];
    for (;;) {
      auto [ec, n] = co_await socket->async_read_some(asio::buffer(buf), nothrow);
      if (ec) co_return;
      const std::string chunk(buf, n);
      self->received[i] += chunk;
      std::string out;
      if (chunk.find("GARBAGE") != std::string::npos)
        out = "!not redis\r\n";
      else
        for (auto c : chunk) out += c == '*' ? "+PONG\r\n" : "";
      co_await asio::async_write(*socket, asio::buffer(out), nothrow);
    }
  }
  redis::options options() const { return local(acceptor.local_endpoint().port()); }
  tcp::acceptor acceptor;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  std::vector<std::string> received;
};

template <class T>
std::string failure_of(asio::io_context& ioc, std::future<T>& f) {
  try {
    wait_for(ioc, f);
  } catch (const redis::timeout_error& e) {
    return std::string("timeout: ") + e.what();
  } catch (const redis::connection_error& e) {
    return std::string("connection: ") + e.what();
  }
  return "no failure";
}

// How a caller may bound a call by racing it against its own timer.
asio::awaitable<std::size_t> race_with_timer(redis::client& c, std::chrono::milliseconds limit) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  auto winner = co_await (c.get("k0") || timer.async_wait(asio::use_awaitable));
  co_return winner.index();
}

// A listener with a full backlog: connects to it never complete the handshake.
struct hanging_listener {
  explicit hanging_listener(asio::io_context& ioc) : acceptor(ioc, {asio::ip::make_address("127.0.0.1"), 0}), filler(ioc) {
    acceptor.listen(0);
    filler.connect(acceptor.local_endpoint());
  }
  redis::options options() const { return local(acceptor.local_endpoint().port()); }
  tcp::acceptor acceptor;
  tcp::socket filler;
};

long ms_since(clock_type::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
}

}  // namespace

TEST(ConnectionLife, ConnectsOnFirstUseOnceForAllCallersAndSelectsOnEveryConnect) {
  asio::io_context ioc;
  fake_redis server(ioc);
  auto opts = server.options();
  opts.db = 2;
  redis::client client(ioc.get_executor(), opts);
  ioc.run_for(100ms);
  EXPECT_TRUE(server.sockets.empty()) << "the client connected before its first command";

  std::vector<std::future<redis::reply>> pings;
  for (int i = 0; i < 20; ++i) pings.push_back(spawn(ioc, client.command({"PING"})));
  for (auto& p : pings) EXPECT_EQ(wait_for(ioc, p).str, "PONG");
  ASSERT_EQ(server.sockets.size(), 1u);
  EXPECT_EQ(server.received[0].rfind("*2\r\n$6\r\nSELECT\r\n$1\r\n2\r\n*1\r\n$4\r\nPING\r\n", 0), 0u);

  // Garbage on the wire drops the connection; the next call reconnects and SELECTs again.
  auto garbage = spawn(ioc, client.command({"GARBAGE"}));
  EXPECT_EQ(failure_of(ioc, garbage).rfind("connection: Redis protocol error", 0), 0u);
  EXPECT_EQ(run(ioc, client.command({"PING"})).str, "PONG");
  ASSERT_EQ(server.sockets.size(), 2u);
  EXPECT_EQ(server.received[1].rfind("*2\r\n$6\r\nSELECT", 0), 0u);
}

TEST(ConnectionLife, RefusedConnectionFailsAtOnceAndConnectTimeoutBoundsAHangingConnect) {
  asio::io_context ioc;
  redis::client refused(ioc.get_executor(), local(free_port()));
  auto t0 = clock_type::now();
  auto f = spawn(ioc, refused.get("k"));
  EXPECT_EQ(failure_of(ioc, f).rfind("connection: cannot connect", 0), 0u);
  EXPECT_LT(ms_since(t0), 1000);

  hanging_listener full(ioc);
  auto opts = full.options();
  opts.connect_timeout = 600ms;
  redis::client hanging(ioc.get_executor(), opts);
  t0 = clock_type::now();
  auto impatient = spawn(ioc, hanging.get("k", 150ms));
  auto patient = spawn(ioc, hanging.get("k"));
  EXPECT_EQ(failure_of(ioc, impatient), "timeout: Redis call timed out while connecting");
  EXPECT_LT(ms_since(t0), 500);
  EXPECT_EQ(failure_of(ioc, patient).rfind("timeout: connecting to Redis", 0), 0u);
  EXPECT_GE(ms_since(t0), 600);
  EXPECT_LT(ms_since(t0), 2000);
}

// A refused connect is answered again for a short window without dialling: a cache that is
// down costs a miss nothing. Once the window has passed, the next call dials and gets through.
TEST(ConnectionLife, ARefusedConnectIsRememberedForAMomentOnly) {
  asio::io_context ioc;
  const auto port = free_port();
  auto opts = local(port);
  opts.refused_window = 300ms;
  redis::client client(ioc.get_executor(), opts);
  auto refused = spawn(ioc, client.get("k"));
  const auto first = failure_of(ioc, refused);
  EXPECT_EQ(first.rfind("connection: cannot connect", 0), 0u) << first;

  // The port listens now, but within the window the refusal stands.
  fake_redis server(ioc, port);
  auto remembered = spawn(ioc, client.get("k"));
  EXPECT_EQ(failure_of(ioc, remembered), first);
  EXPECT_EQ(server.sockets.size(), 0u);

  asio::steady_timer window(ioc, 300ms);
  run(ioc, window.async_wait(asio::use_awaitable));
  EXPECT_EQ(run(ioc, client.command({"PING"})).str, "PONG");
  EXPECT_EQ(server.sockets.size(), 1u);
}

TEST(PausedServer, CallerTimeoutLeavesOtherCallersAndLaterRepliesInStep) {
  redis_child server;
  asio::io_context ioc;
  redis::client client(ioc.get_executor(), server.options());
  for (int i = 0; i < 4; ++i) run(ioc, client.set("k" + std::to_string(i), "v" + std::to_string(i)));

  server.pause();
  const auto t0 = clock_type::now();
  auto impatient = spawn(ioc, client.get("k0", 200ms));
  auto impatient_store = spawn(ioc, client.set("k4", "late", std::nullopt, 200ms));
  auto raced = spawn(ioc, race_with_timer(client, 100ms));
  auto patient = spawn(ioc, client.get("k1"));
  EXPECT_EQ(wait_for(ioc, raced), 1u);  // the timer won; the get was cancelled
  EXPECT_EQ(failure_of(ioc, impatient), "timeout: Redis call timed out");
  EXPECT_EQ(failure_of(ioc, impatient_store), "timeout: Redis call timed out");
  EXPECT_LT(ms_since(t0), 1000);
  auto queued_behind = spawn(ioc, client.get("k2"));  // its reply follows k0's late one
  server.resume();
  EXPECT_EQ(wait_for(ioc, patient), "v1");
  EXPECT_EQ(wait_for(ioc, queued_behind), "v2");
  EXPECT_EQ(run(ioc, client.get("k3")), "v3");
  EXPECT_EQ(run(ioc, client.get("k4")), "late") << "an abandoned store still happens, in its turn";
}

TEST(PausedServer, CallAfterResumeIsNotHeldUpByTheCallsAbandonedMeanwhile) {
  redis_child server;
  asio::io_context ioc;
  redis::client client(ioc.get_executor(), server.options());
  run(ioc, client.set("k", "v"));

  // Stores of tile-sized values pile up while the server is stopped, more than the
  // socket buffers hold; once it resumes, it works through them first.
  server.pause();
  const std::string tile(100 * 1024, 'x');
  std::vector<std::future<void>> abandoned;
  for (int i = 0; i < 200; ++i) abandoned.push_back(spawn(ioc, client.set("t" + std::to_string(i), tile, 60, 300ms)));
  for (auto& f : abandoned) EXPECT_EQ(failure_of(ioc, f), "timeout: Redis call timed out");

  server.resume();
  const auto t0 = clock_type::now();
  auto probe = spawn(ioc, client.get("k", 1000ms));
  EXPECT_EQ(wait_for(ioc, probe), "v");
  EXPECT_LT(ms_since(t0), 1000);
}

TEST(PausedServer, SocketTimeoutDropsTheConnectionAndTheNextCallReconnects) {
  redis_child server;
  asio::io_context ioc;
  auto opts = server.options();
  opts.socket_timeout = 400ms;
  redis::client client(ioc.get_executor(), opts);
  run(ioc, client.set("k", "v"));

  server.pause();
  const auto t0 = clock_type::now();
  auto a = spawn(ioc, client.get("k"));
  auto b = spawn(ioc, client.command({"PING"}));
  // Short calls keep coming meanwhile, as a cache's probes do: they must not put the drop off.
  std::vector<std::future<std::optional<std::string>>> probes;
  while (a.wait_for(0s) != std::future_status::ready && ms_since(t0) < 3000) {
    probes.push_back(spawn(ioc, client.get("k", 50ms)));
    ioc.restart();
    ioc.run_for(100ms);
  }
  EXPECT_EQ(failure_of(ioc, a).rfind("timeout: Redis at", 0), 0u);
  EXPECT_EQ(failure_of(ioc, b).rfind("timeout: Redis at", 0), 0u);
  EXPECT_GE(ms_since(t0), 400);
  EXPECT_LT(ms_since(t0), 2000);
  server.resume();
  EXPECT_EQ(run(ioc, client.get("k")), "v");
}

TEST(RestartedServer, NextCallsReconnectWithoutRecreatingTheClient) {
  redis_child server;
  asio::io_context ioc;
  redis::client client(ioc.get_executor(), server.options());
  run(ioc, client.set("k", "before"));
  server.kill();
  auto during = spawn(ioc, client.get("k"));
  EXPECT_EQ(failure_of(ioc, during).rfind("connection: ", 0), 0u);
  server.start();
  EXPECT_FALSE(run(ioc, client.get("k")).has_value());  // nothing is persisted
  run(ioc, client.set("k", "after"));
  EXPECT_EQ(run(ioc, client.get("k")), "after");
}

TEST(Destruction, DestroyingTheClientFailsPendingCallsAndLeavesNothingRunning) {
  asio::io_context ioc;
  // Calls waiting for a connect that never completes.
  hanging_listener full(ioc);
  auto connecting = std::make_unique<redis::client>(ioc.get_executor(), full.options());
  auto waiting = spawn(ioc, connecting->get("k"));
  ioc.run_for(100ms);
  connecting.reset();
  const auto t0 = clock_type::now();
  EXPECT_EQ(failure_of(ioc, waiting), "connection: Redis client is closed");
  EXPECT_LT(ms_since(t0), 1000);

  // Calls sent to a server that does not answer.
  redis_child server;
  auto client = std::make_unique<redis::client>(ioc.get_executor(), server.options());
  run(ioc, client->set("k", "v"));
  server.pause();
  std::vector<std::future<std::optional<std::string>>> pending;
  for (int i = 0; i < 5; ++i) pending.push_back(spawn(ioc, client->get("k")));
  ioc.run_for(50ms);
  client.reset();
  for (auto& p : pending) EXPECT_EQ(failure_of(ioc, p), "connection: Redis client is closed");
  ioc.restart();
  ioc.run_for(2s);
  EXPECT_TRUE(ioc.stopped()) << "a timer or socket operation outlived either client";
  server.resume();
}
