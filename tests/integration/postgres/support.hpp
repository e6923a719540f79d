#pragma once
// Helpers shared by the PostgreSQL integration tests: running a coroutine to completion,
// the server's address, and a TCP proxy the tests can cut to make the server "go away".

#include <clients/pg/connection.hpp>

#include <boost/asio.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace pgtest {

namespace asio = boost::asio;
using namespace std::chrono_literals;

inline std::string database_url() {
  const char* url = std::getenv("DATABASE_URL");
  return url && *url ? url : "postgresql://postgres@127.0.0.1:55432/mapsvc";
}

// "postgresql://user@host:port/db?x" -> {"host", port}; the same URL with another address.
struct url_parts {
  std::string before, host, after;
  unsigned short port = 5432;
};
inline url_parts split_url(const std::string& url) {
  url_parts p;
  const auto at = url.find('@');
  const auto start = at == std::string::npos ? url.find("://") + 3 : at + 1;
  const auto end = url.find_first_of("/?", start);
  const std::string hostport = url.substr(start, end - start);
  const auto colon = hostport.rfind(':');
  p.before = url.substr(0, start);
  p.after = end == std::string::npos ? "" : url.substr(end);
  p.host = hostport.substr(0, colon);
  if (colon != std::string::npos) p.port = static_cast<unsigned short>(std::stoi(hostport.substr(colon + 1)));
  return p;
}

// A name unique to this test process, for tables.
inline std::string unique_name(const std::string& base) { return base + "_" + std::to_string(::getpid()); }

// Runs `body(executor)` on a fresh event loop; fails the test if it throws or hangs.
template <class F>
void run_async(F&& body, std::chrono::seconds limit = 60s) {
  asio::io_context ioc;
  bool done = false;
  std::exception_ptr error;
  asio::co_spawn(ioc, body(ioc.get_executor()), [&](std::exception_ptr e) {
    done = true;
    error = e;
  });
  ioc.run_for(limit);
  if (!done) FAIL() << "coroutine did not finish within " << limit.count() << " s";
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      FAIL() << "uncaught exception: " << e.what();
    }
  }
}

inline asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

// Note for all tests: g++ 12 may destroy temporaries of a co_await expression twice, so
// arguments with destructors (strings, lists) are built before the co_await.
inline asio::awaitable<std::unique_ptr<clients::pg::connection>> open(asio::any_io_executor ex,
                                                                       asio::thread_pool& blocking) {
  auto c = std::make_unique<clients::pg::connection>(ex, blocking.get_executor());
  std::string url = database_url();
  co_await c->connect(std::move(url), 10s);
  co_return c;
}

// State of a server process as pg_stat_activity shows it ("" when it is gone).
inline asio::awaitable<std::string> backend_state(clients::pg::connection& admin, int pid) {
  clients::pg::params p{{"pid", std::int64_t{pid}}};
  auto r = co_await admin.execute("SELECT state FROM pg_stat_activity WHERE pid = :pid", p);
  if (r.empty()) co_return std::string();
  co_return r[0].get_optional<std::string>("state").value_or("?");
}

// Forwards TCP connections to the database server until cut.
class tcp_proxy {
 public:
  tcp_proxy(asio::any_io_executor ex, std::string host, unsigned short port)
      : ex_(ex), target_(asio::ip::make_address(host == "localhost" ? "127.0.0.1" : host), port), acceptor_(ex) {
    listen(0);
  }
  ~tcp_proxy() { cut(); }
  unsigned short port() const { return port_; }

  // Closes the listener and every forwarded connection.
  void cut() {
    boost::system::error_code ec;
    acceptor_.close(ec);
    for (auto& weak : links_)
      if (auto l = weak.lock()) {
        l->client.close(ec);
        l->server.close(ec);
      }
    links_.clear();
  }
  void resume() { listen(port_); }

 private:
  struct link {
    explicit link(asio::any_io_executor ex) : client(ex), server(ex) {}
    asio::ip::tcp::socket client, server;
  };

  void listen(unsigned short port) {
    const asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(ex_, accept_loop(), asio::detached);
  }

  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto l = std::make_shared<link>(ex_);
      auto [ec] = co_await acceptor_.async_accept(l->client, asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      auto [cec] = co_await l->server.async_connect(target_, asio::as_tuple(asio::use_awaitable));
      if (cec) continue;
      links_.push_back(l);
      asio::co_spawn(ex_, pipe(l, l->client, l->server), asio::detached);
      asio::co_spawn(ex_, pipe(l, l->server, l->client), asio::detached);
    }
  }

  static asio::awaitable<void> pipe(std::shared_ptr<link> l, asio::ip::tcp::socket& from, asio::ip::tcp::socket& to) {
    std::vector<char> buf(16384);
    for (;;) {
      auto [ec, n] = co_await from.async_read_some(asio::buffer(buf), asio::as_tuple(asio::use_awaitable));
      if (ec) break;
      auto [wec, w] = co_await asio::async_write(to, asio::buffer(buf.data(), n), asio::as_tuple(asio::use_awaitable));
      if (wec) break;
    }
    boost::system::error_code ec;
    l->client.close(ec);
    l->server.close(ec);
  }

  asio::any_io_executor ex_;
  asio::ip::tcp::endpoint target_;
  asio::ip::tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  std::vector<std::weak_ptr<link>> links_;
};

}  // namespace pgtest
