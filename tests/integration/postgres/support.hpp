#pragma once
// Helpers shared by the PostgreSQL integration tests: running a coroutine to completion,
// the server's address, and a TCP proxy the tests can cut to make the server "go away".

#include <clients/pg/connection.hpp>

#include <boost/asio.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
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

// Forwards TCP connections to the database server until cut: `url()` is the database URL
// pointed at the proxy.
class tcp_proxy {
 public:
  using tcp = asio::ip::tcp;
  tcp_proxy(asio::any_io_executor ex, const std::string& url) : acceptor_(ex) {
    std::smatch m;  // scheme://user@host:port/db?x
    std::regex_match(url, m, std::regex(R"((.*?://(?:[^@/]*@)?)([^:/?]+)(?::(\d+))?(.*))"));
    before_ = m[1], after_ = m[4];
    const auto port = static_cast<unsigned short>(m[3].matched ? std::stoi(m[3]) : 5432);
    target_ = tcp::endpoint(asio::ip::make_address(m[2] == "localhost" ? "127.0.0.1" : m[2].str()), port);
    resume();
  }
  ~tcp_proxy() { cut(); }
  std::string url() const { return before_ + "127.0.0.1:" + std::to_string(port_) + after_; }

  // Closes the listener and every forwarded connection.
  void cut() {
    boost::system::error_code ec;
    acceptor_.close(ec);
    for (auto& s : sockets_) s->close(ec);
    sockets_.clear();
  }
  void resume() {
    acceptor_ = tcp::acceptor(acceptor_.get_executor(), {asio::ip::make_address("127.0.0.1"), port_});
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(acceptor_.get_executor(), accept_loop(), asio::detached);
  }

 private:
  // Ends (by an exception `detached` swallows) once the listener is closed.
  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto client = std::make_shared<tcp::socket>(co_await acceptor_.async_accept(asio::use_awaitable));
      auto server = std::make_shared<tcp::socket>(acceptor_.get_executor());
      co_await server->async_connect(target_, asio::use_awaitable);
      sockets_.insert(sockets_.end(), {client, server});
      asio::co_spawn(acceptor_.get_executor(), pipe(client, server), asio::detached);
      asio::co_spawn(acceptor_.get_executor(), pipe(server, client), asio::detached);
    }
  }
  // Copies one direction until either side closes, then closes both.
  static asio::awaitable<void> pipe(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
    std::vector<char> buf(16384);
    boost::system::error_code ec;
    for (;;) {
      auto [rec, n] = co_await from->async_read_some(asio::buffer(buf), asio::as_tuple(asio::use_awaitable));
      if (rec) break;
      auto [wec, w] = co_await asio::async_write(*to, asio::buffer(buf.data(), n), asio::as_tuple(asio::use_awaitable));
      if (wec) break;
    }
    from->close(ec);
    to->close(ec);
  }

  std::string before_, after_;
  tcp::endpoint target_;
  tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  std::vector<std::shared_ptr<tcp::socket>> sockets_;
};

}  // namespace pgtest
