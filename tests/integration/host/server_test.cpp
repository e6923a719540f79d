// The HTTP server over real sockets: keep-alive, pipelining, limits, time-outs, shutdown.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <spdlog/sinks/ostream_sink.h>

#include "host/helpers/logging.hpp"
#include "host/http/app.hpp"
#include "host/http/cors.hpp"
#include "host/http/server.hpp"
#include "host/metrics/host_metrics.hpp"
#include "host/metrics/shared_metrics.hpp"
#include "test_support/loopback.hpp"

namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace host::http;

// A large shared body that compresses to about a third: sent from its file, as is its gzip copy.
const shared_representation& big_body() {
  static const shared_representation body = [] {
    std::string text;
    for (unsigned i = 0; text.size() < 8'000'000; ++i) text += std::to_string(i * 2654435761u) + ",";
    return representation::shared(std::move(text));
  }();
  return body;
}

// A server with a few test routes on its own event loop thread; `configure` sets up the app
// before it serves.
class running_server {
 public:
  explicit running_server(server_options options = {}, const std::function<void(app&)>& configure = {})
      : work_(asio::make_work_guard(io_)) {
    router r;
    r.add({.path = "/hello", .name = "hello"}, [](request_context&) -> asio::awaitable<response> {
      co_return raw_response("hello", "text/plain");
    });
    r.add({.path = "/echo/{word}", .name = "echo", .params = {path_param("word")}},
          [](request_context& ctx) -> asio::awaitable<response> {
            co_return raw_response(ctx.params.string("word"), "text/plain");
          });
    r.add({.path = "/slow", .name = "slow"}, [](request_context&) -> asio::awaitable<response> {
      asio::steady_timer t(co_await asio::this_coro::executor, 400ms);
      co_await t.async_wait(asio::use_awaitable);
      co_return raw_response("finally", "text/plain");
    });
    r.add({.method = boost::beast::http::verb::post, .path = "/size", .name = "size", .request_body = "text/plain"},
          [](request_context& ctx) -> asio::awaitable<response> {
            co_return raw_response(std::to_string(ctx.message.body().size()), "text/plain");
          });
    r.add({.path = "/stuck", .name = "stuck"}, [this](request_context&) -> asio::awaitable<response> {
      // Like a statement without a time-out: only cancellation ends it.
      asio::steady_timer t(co_await asio::this_coro::executor, 60s);
      const auto [ec] = co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
      stuck_ended = true;
      if (ec) throw boost::system::system_error(ec);
      co_return raw_response("never", "text/plain");
    });
    r.add({.path = "/throw", .name = "throw"}, [](request_context&) -> asio::awaitable<response> {
      throw std::runtime_error("handler bug");
      co_return response{};
    });
    r.add({.path = "/field/{name}", .name = "field", .params = {path_param("name")}},
          [](request_context& ctx) -> asio::awaitable<response> {
            co_return raw_response(std::string(ctx.header(ctx.params.string("name"))), "text/plain");
          });
    r.add({.path = "/host", .name = "host"}, [](request_context& ctx) -> asio::awaitable<response> {
      co_return raw_response(std::string(ctx.header("Host")), "text/plain");
    });
    r.add({.method = boost::beast::http::verb::post, .path = "/purge", .name = "purge", .who = access::admin},
          [this](request_context& ctx) -> asio::awaitable<response> {
            ++purges;
            co_return raw_response(std::to_string(ctx.message.body().size()), "text/plain");
          });
    r.add({.path = "/big", .name = "big"}, [](request_context&) -> asio::awaitable<response> {
      co_return entity_response(big_body(), "application/octet-stream");
    });
    r.add({.path = "/big-copy", .name = "big_copy"}, [](request_context&) -> asio::awaitable<response> {
      co_return raw_response(std::string(big_body()->bytes()), "application/octet-stream");
    });
    app_.mount(r);
    app_.require_bearer(access::admin, "tok");
    if (configure) configure(app_);
    options.port = 0;
    server_ = std::make_unique<server>(io_, app_, options);
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~running_server() {
    stop();
    work_.reset();
    io_.stop();
    thread_.join();
  }
  unsigned short port() const { return server_->port(); }
  std::atomic<bool> stuck_ended = false;
  std::atomic<int> purges = 0;
  // Starts the graceful shutdown; the future is ready once the server reports it stopped.
  std::future<void> begin_shutdown() {
    auto done = std::make_shared<std::promise<void>>();
    auto f = done->get_future();
    asio::post(io_, [this, done] { server_->shutdown([done] { done->set_value(); }); });
    return f;
  }

 private:
  void stop() {
    if (!stopped_) begin_shutdown().wait_for(5s);
    stopped_ = true;
  }
  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  app app_{"t", "1"};
  std::unique_ptr<server> server_;
  std::thread thread_;
  bool stopped_ = false;
};

// A plain blocking socket, so the tests control every byte on the wire.
class raw_client {
 public:
  explicit raw_client(unsigned short port) : fd_(test_support::connect_loopback(port)) {}
  ~raw_client() { ::close(fd_); }
  void send(const std::string& data) { ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL); }
  void end_sending() { ::shutdown(fd_, SHUT_WR); }
  // Everything until the peer closes (or the 5 s receive time-out).
  std::string read_all() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  // Reads until `needle` has arrived (or the 5 s receive time-out).
  std::string read_until(const std::string& needle) {
    std::string out;
    char c;
    while (out.find(needle) == std::string::npos && ::recv(fd_, &c, 1, 0) == 1) out += c;
    return out;
  }
  // Reads until `count` complete responses with bodies of known length have arrived.
  std::string read_responses(int count) {
    std::string out;
    std::vector<char> buf(64 * 1024);  // large reads: each one re-scans the answer in progress
    while (complete_responses(out) < count) {
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      out.append(buf.data(), static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  static int complete_responses(const std::string& s) {
    int count = 0;
    std::size_t pos = 0;
    while (true) {
      const auto end = s.find("\r\n\r\n", pos);
      if (end == std::string::npos) return count;
      const auto cl = s.find("Content-Length: ", pos);
      std::size_t length = 0;
      if (cl != std::string::npos && cl < end) length = std::stoul(s.substr(cl + 16));
      if (s.size() < end + 4 + length) return count;
      pos = end + 4 + length;
      ++count;
    }
  }
  int fd_;
};

std::string get(const std::string& path, bool close = false) {
  return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n";
}

int count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (auto pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) ++n;
  return n;
}

TEST(Server, KeepAliveServesManyRequestsOnOneConnection) {
  running_server srv;
  raw_client c(srv.port());
  for (int i = 0; i < 3; ++i) {
    c.send(get("/hello"));
    const auto r = c.read_responses(1);
    EXPECT_TRUE(r.starts_with("HTTP/1.1 200 OK")) << r;
    EXPECT_TRUE(r.ends_with("hello"));
  }
}

TEST(Server, PipelinedRequestsAreAnsweredInOrder) {
  running_server srv;
  raw_client c(srv.port());
  c.send(get("/echo/one") + get("/slow") + get("/echo/three") + get("/nowhere", true));
  const auto r = c.read_all();
  const auto one = r.find("one"), slow = r.find("finally"), three = r.find("three"), missing = r.find("Not Found");
  ASSERT_NE(missing, std::string::npos) << r;
  EXPECT_LT(one, slow);
  EXPECT_LT(slow, three);
  EXPECT_LT(three, missing);
}

// A connection reuses one piece of memory for each request's head in turn: a head far larger
// than the usual one, then small ones, then a large one again, each read as its own.
TEST(Server, EachRequestOnAConnectionReadsItsOwnFieldsWhateverTheirSize) {
  running_server srv;
  raw_client c(srv.port());
  const auto asking = [](int n, int padding) {
    std::string req = "GET /field/x-tag HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < padding; ++i) req += "X-Pad-" + std::to_string(i) + ": " + std::string(90, 'p') + "\r\n";
    return req + "X-Tag: tag-" + std::to_string(n) + "\r\n\r\n";
  };
  std::string requests;
  const int paddings[] = {70, 0, 1, 0, 40, 0};
  for (int n = 0; n < 6; ++n) requests += asking(n, paddings[n]);
  c.send(requests);
  const auto r = c.read_responses(6);
  std::size_t at = 0;
  for (int n = 0; n < 6; ++n) {
    const auto tag = r.find("\r\n\r\ntag-" + std::to_string(n), at);
    ASSERT_NE(tag, std::string::npos) << n << "\n" << r;
    at = tag + 1;
  }
  EXPECT_EQ(count(r, "HTTP/1.1 200 OK"), 6) << r;
}

TEST(Server, AThrowingHandlerIs500AndTheConnectionKeepsServing) {
  running_server srv;
  raw_client c(srv.port());
  c.send(get("/throw") + get("/hello", true));
  const auto r = c.read_all();
  EXPECT_TRUE(r.starts_with("HTTP/1.1 500 Internal Server Error")) << r;
  EXPECT_NE(r.find(R"({"detail":"Internal Server Error"})"), std::string::npos);
  EXPECT_TRUE(r.ends_with("hello"));
}

TEST(Server, OversizedHeadersAndBodiesAreRefused) {
  server_options o;
  o.header_limit = 1024;
  o.body_limit = 100;
  o.small_body_limit = 10;  // routes that declare no body
  running_server srv(o);
  {
    raw_client c(srv.port());
    c.send("GET /hello HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(4000, 'a') + "\r\n\r\n");
    EXPECT_TRUE(c.read_all().starts_with("HTTP/1.1 431")) ;
  }
  {
    raw_client c(srv.port());
    c.send("POST /size HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'));
    EXPECT_TRUE(c.read_all().starts_with("HTTP/1.1 413"));
  }
  for (const std::string target : {"/hello", "/nowhere"}) {
    raw_client c(srv.port());
    c.send("GET " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n" + std::string(50, 'b'));
    EXPECT_TRUE(c.read_all().starts_with("HTTP/1.1 413")) << target;
  }
  {
    raw_client c(srv.port());
    c.send("POST /size HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 50\r\n\r\n" + std::string(50, 'b'));
    EXPECT_TRUE(c.read_all().ends_with("\r\n\r\n50"));
  }
  {
    raw_client c(srv.port());
    c.send("GARBAGE\r\n\r\n");
    EXPECT_TRUE(c.read_all().starts_with("HTTP/1.1 400"));
  }
}

// A body whose length the server and a proxy in front of it could read differently must not
// be served at all: the bytes after the header could otherwise be run as a second request.
TEST(Server, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  running_server srv;
  const std::string smuggled = get("/echo/smuggled");
  const std::pair<std::string, std::string> cases[] = {
      {"POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" + smuggled, "HTTP/1.1 400"},
      {"POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n" +
           smuggled, "HTTP/1.1 400"},
      {"POST /size HTTP/1.0\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, "HTTP/1.1 400"},
      {"POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n0\r\n\r\n" +
           smuggled, "HTTP/1.1 400"},
      {"POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled,
       "HTTP/1.1 501"}};
  for (const auto& [request, status] : cases) {
    raw_client c(srv.port());
    c.send(request);
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with(status)) << request << "\n->\n" << r;
    EXPECT_EQ(count(r, "HTTP/1.1"), 1) << r;
    EXPECT_EQ(r.find("smuggled"), std::string::npos) << r;
  }
  // Chunked bodies, in any letter case, are read as such and the connection goes on.
  raw_client c(srv.port());
  c.send("POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n" + get("/hello", true));
  const auto r = c.read_all();
  EXPECT_TRUE(r.starts_with("HTTP/1.1 200")) << r;
  EXPECT_NE(r.find("\r\n\r\n5"), std::string::npos) << r;
  EXPECT_TRUE(r.ends_with("hello")) << r;
}

TEST(Server, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  server_options o;
  o.max_connections = 2;
  running_server srv(o);
  auto first = std::make_unique<raw_client>(srv.port());
  raw_client second(srv.port());
  first->send(get("/hello"));
  second.send(get("/hello"));
  EXPECT_TRUE(first->read_responses(1).ends_with("hello"));
  EXPECT_TRUE(second.read_responses(1).ends_with("hello"));
  {
    raw_client third(srv.port());
    third.send(get("/hello"));
    EXPECT_EQ(third.read_all(), "");
  }
  first.reset();
  std::this_thread::sleep_for(100ms);  // the server notices the close
  raw_client fourth(srv.port());
  fourth.send(get("/hello", true));
  EXPECT_TRUE(fourth.read_all().ends_with("hello"));
}

TEST(Server, AClientThatStallsMidRequestIsDisconnected) {
  server_options o;
  o.request_timeout = 300ms;
  running_server srv(o);
  raw_client c(srv.port());
  const auto t0 = std::chrono::steady_clock::now();
  c.send("GET /hello HTTP/1.1\r\nHo");
  EXPECT_EQ(c.read_all(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  // The server itself is unharmed.
  raw_client d(srv.port());
  d.send(get("/hello", true));
  EXPECT_TRUE(d.read_all().ends_with("hello"));
}

// A head is parsed from what has arrived and read further only when it is incomplete: pieces
// (a pause between them lets the server see each on its own) make one request, a head that
// outgrows its limit piece by piece is refused, and one the client cuts short gets no answer.
TEST(Server, AHeadIsReadAcrossPiecesAndBoundedAcrossThem) {
  server_options o;
  o.header_limit = 1024;
  running_server srv(o);
  const auto in_pieces = [](raw_client& c, const std::vector<std::string>& pieces) {
    for (const auto& piece : pieces) {
      c.send(piece);
      std::this_thread::sleep_for(20ms);
    }
  };
  {
    raw_client c(srv.port());
    in_pieces(c, {"GE", "T /echo/pie", "ces HTTP/1.1\r\nHo", "st: x\r\n", "\r", "\n" + get("/hello", true)});
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with("HTTP/1.1 200")) << r;
    EXPECT_NE(r.find("pieces"), std::string::npos) << r;
    EXPECT_TRUE(r.ends_with("hello")) << r;
  }
  {
    raw_client c(srv.port());
    in_pieces(c, {"GET /hello HTTP/1.1\r\nHost: x\r\n"});
    for (int i = 0; i < 8; ++i) in_pieces(c, {"X-Part-" + std::to_string(i) + ": " + std::string(200, 'a') + "\r\n"});
    EXPECT_TRUE(c.read_all().starts_with("HTTP/1.1 431"));
  }
  {
    raw_client c(srv.port());
    in_pieces(c, {"GET /hello HTTP/1.1\r\n", "Host: x\r\n"});
    c.end_sending();
    EXPECT_EQ(c.read_all(), "");
  }
}

TEST(Server, IdleConnectionsAreClosed) {
  server_options o;
  o.idle_timeout = 200ms;
  running_server srv(o);
  raw_client c(srv.port());
  c.send(get("/hello"));
  EXPECT_TRUE(c.read_responses(1).ends_with("hello"));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.read_all(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

TEST(Server, ShutdownLetsTheRequestInFlightFinish) {
  running_server srv;
  raw_client busy(srv.port());
  raw_client idle(srv.port());
  idle.send(get("/hello"));
  idle.read_responses(1);
  busy.send(get("/slow"));
  std::this_thread::sleep_for(100ms);
  auto stopped = srv.begin_shutdown();
  const auto r = busy.read_all();  // complete answer, then the server closes
  EXPECT_TRUE(r.starts_with("HTTP/1.1 200 OK")) << r;
  EXPECT_NE(r.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(r.ends_with("finally"));
  EXPECT_EQ(idle.read_all(), "");  // closed without an answer
  EXPECT_EQ(stopped.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(count(r, "HTTP/1.1"), 1);
}

// A handler that never ends on its own cannot hold the shutdown: at the end of the grace
// period it is cancelled and the server reports itself stopped.
TEST(Server, ShutdownCancelsRequestsThatOutliveTheGrace) {
  server_options o;
  o.shutdown_grace = 200ms;
  o.cancel_grace = 300ms;
  running_server srv(o);
  raw_client stuck(srv.port());
  stuck.send(get("/stuck"));
  std::this_thread::sleep_for(50ms);
  const auto t0 = std::chrono::steady_clock::now();
  auto stopped = srv.begin_shutdown();
  EXPECT_EQ(stopped.wait_for(3s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(stuck.read_all(), "");  // closed without an answer
  EXPECT_TRUE(srv.stuck_ended);     // the handler itself was ended, not left running
}

// A client that waits before sending its body is told to go on, or answered at once when the
// head already decides (curl waits a second for one or the other before every upload over
// 1 MB; a refused purge must not take the body first).
TEST(Server, ExpectContinueIsAnsweredBeforeTheBody) {
  running_server srv({}, [](app& a) { a.set_cors(parse_cors_origins("https://maps.example.org")); });
  const std::string expect = "Content-Length: 5\r\nExpect: 100-continue\r\n\r\n";
  {
    raw_client c(srv.port());
    c.send("POST /size HTTP/1.1\r\nHost: x\r\n" + expect);
    EXPECT_EQ(c.read_until("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    c.send("hello" + get("/hello", true));
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with("HTTP/1.1 200")) << r;
    EXPECT_NE(r.find("\r\n\r\n5HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_TRUE(r.ends_with("hello")) << r;
  }
  const std::pair<std::string, std::string> refused[] = {
      {"POST /nowhere HTTP/1.1\r\nHost: x\r\n" + expect, "HTTP/1.1 404"},
      {"POST /hello HTTP/1.1\r\nHost: x\r\n" + expect, "HTTP/1.1 405"},
      {"POST /purge HTTP/1.1\r\nHost: x\r\n" + expect, "HTTP/1.1 401"},
      {"POST /purge HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok\r\nOrigin: https://evil.example\r\n" + expect,
       "HTTP/1.1 403"},
      {"POST /size HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\nExpect: 100-continue\r\n\r\n", "HTTP/1.1 413"},
      {"POST /size HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue, x-later\r\n\r\n",
       "HTTP/1.1 417"}};
  for (const auto& [request, status] : refused) {
    raw_client c(srv.port());
    const auto t0 = std::chrono::steady_clock::now();
    c.send(request);
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with(status)) << request << "\n->\n" << r;
    EXPECT_NE(r.find("Connection: close"), std::string::npos) << r;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms) << request;
  }
  EXPECT_EQ(srv.purges, 0);
  {
    // Allowed: told to go on, and it runs.
    raw_client c(srv.port());
    c.send("POST /purge HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok\r\nConnection: close\r\n" + expect);
    EXPECT_EQ(c.read_until("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    c.send("abcde");
    EXPECT_TRUE(c.read_all().ends_with("\r\n\r\n5"));
    EXPECT_EQ(srv.purges, 1);
  }
  // No interim answer when the body came with the head, nor to HTTP/1.0, which has none.
  for (const std::string version : {"HTTP/1.1", "HTTP/1.0"}) {
    raw_client c(srv.port());
    c.send("POST /size " + version + "\r\nHost: x\r\nConnection: close\r\n" + expect + "abcde");
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with(version + " 200")) << r;
    EXPECT_EQ(r.find("100 Continue"), std::string::npos) << r;
  }
}

TEST(Server, OneHostPerRequestAndAnAbsoluteTargetNamesIt) {
  running_server srv;
  const std::pair<std::string, std::string> cases[] = {
      {"GET /host HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400"},
      {"GET /host HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", "HTTP/1.1 400"},
      {"GET /host HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
      {"GET /host HTTP/1.1\r\nHost: evil.com:99999\r\n\r\n", "HTTP/1.1 400"},
      {"GET http://user@a.example/host HTTP/1.1\r\nHost: a.example\r\n\r\n", "HTTP/1.1 400"},
      {"GET /host HTTP/1.0\r\n\r\n", "HTTP/1.0 200"},
      {"GET /host HTTP/1.1\r\nHost: tiles.example.org:8443\r\nConnection: close\r\n\r\n", "HTTP/1.1 200"}};
  for (const auto& [request, status] : cases) {
    raw_client c(srv.port());
    c.send(request);
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with(status)) << request << "\n->\n" << r;
  }
  raw_client c(srv.port());
  c.send("GET http://tiles.example.org:8443/host HTTP/1.1\r\nHost: evil.com\r\nConnection: close\r\n\r\n");
  const auto r = c.read_all();
  EXPECT_TRUE(r.starts_with("HTTP/1.1 200")) << r;
  EXPECT_TRUE(r.ends_with("\r\n\r\ntiles.example.org:8443")) << r;
}

// Requests the server refuses before any route sees them are answers like any other: counted
// (under no route) and written to the access log.
TEST(Server, EveryAnswerIsCountedAndLoggedProtocolErrorsIncluded) {
  host::metrics::registry families;
  const auto declared = host::metrics::declare_host_metrics(families);
  host::metrics::shared_region region(std::move(families), 1);
  host::metrics::recorder metrics(declared, region.block(0));
  std::ostringstream log;
  const auto access = host::helpers::get_logger("access");
  access->sinks().push_back(std::make_shared<spdlog::sinks::ostream_sink_mt>(log));
  access->sinks().back()->set_pattern("%v");
  {
    server_options o;
    o.header_limit = 1024;
    o.small_body_limit = 10;
    running_server srv(o, [&](app& a) {
      a.set_metrics(&metrics);
      a.set_access_log(true);
    });
    for (const std::string& request :
         {"GET /hello HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(4000, 'a') + "\r\n\r\n", std::string("GARBAGE\r\n\r\n"),
          std::string("GET /hello HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"),
          std::string("GET /hello HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n"),
          std::string("POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"),
          std::string("POST /size HTTP/1.1\r\nHost: x\r\nExpect: later\r\nContent-Length: 1\r\n\r\n"),
          std::string("POST /nowhere HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n"),
          get("/hello", true)}) {
      raw_client c(srv.port());
      c.send(request);
      c.read_all();
    }
  }
  access->sinks().pop_back();

  const auto lines = log.str();
  for (const char* line : {"- - 431 ", "- - 400 ", "GET /hello 400 ", "GET /hello 413 ", "POST /size 400 ",
                           "POST /size 417 ", "POST /nowhere 404 ", "GET /hello 200 "})
    EXPECT_NE(lines.find(line), std::string::npos) << line << " in\n" << lines;
  EXPECT_EQ(count(lines, "\n"), 8) << lines;

  const auto text = host::metrics::scrape(region, {{"route", host::metrics::route_label_values({"/hello", "/size"})}});
  for (const char* series : {R"({route="unmatched",method="other",status="431"} 1)",
                             R"({route="unmatched",method="other",status="400"} 1)",
                             R"({route="unmatched",method="GET",status="400"} 1)",
                             R"({route="unmatched",method="GET",status="413"} 1)",
                             R"({route="unmatched",method="POST",status="other"} 1)",
                             R"({route="unmatched",method="POST",status="404"} 1)"})
    EXPECT_NE(text.find(series), std::string::npos) << series << " in\n" << text;
}

}  // namespace

TEST(Server, LargeBodiesFromAFileOrFromMemoryReachAClientWhateverItsPace) {
  ASSERT_TRUE(big_body()->file(false).has_value());
  running_server srv;
  const std::string big(big_body()->bytes());
  const std::string zipped(big_body()->gzip());
  ASSERT_TRUE(big_body()->file(true).has_value());
  const auto body_of = [](const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); };

  // Pipelined behind each other, read only once the server has long filled the socket's
  // buffers: the sends wait for the client and carry on.
  raw_client c(srv.port());
  // The same bytes from memory go out as the socket drains, too.
  c.send(get("/big") + "GET /big HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n" + get("/big-copy") +
         get("/hello"));
  std::this_thread::sleep_for(300ms);
  const auto answers = c.read_responses(4);
  const auto second = answers.find("HTTP/1.1 200", 1);
  const auto third = answers.find("HTTP/1.1 200", second + 1);
  const auto fourth = answers.find("HTTP/1.1 200", third + 1);
  ASSERT_NE(fourth, std::string::npos) << answers.substr(0, 300);
  EXPECT_EQ(body_of(answers.substr(0, second)), big);
  EXPECT_NE(answers.substr(second, 400).find("Content-Encoding: gzip"), std::string::npos);
  EXPECT_EQ(body_of(answers.substr(second, third - second)), zipped);
  EXPECT_EQ(body_of(answers.substr(third, fourth - third)), big);
  EXPECT_TRUE(answers.ends_with("hello"));

  // HEAD sends the head alone, and the connection goes on.
  c.send("HEAD /big HTTP/1.1\r\nHost: x\r\n\r\n" + get("/hello"));
  const auto head = c.read_until("hello");
  EXPECT_NE(head.find("Content-Length: " + std::to_string(big.size())), std::string::npos) << head;
  EXPECT_EQ(count(head, "HTTP/1.1 200"), 2) << head;
  EXPECT_LT(head.size(), 1000u);

  // A client that leaves mid-body costs its connection only.
  {
    raw_client gone(srv.port());
    gone.send(get("/big"));
    gone.read_until("\r\n\r\n");
  }
  std::this_thread::sleep_for(100ms);
  raw_client after(srv.port());
  after.send(get("/hello", true));
  EXPECT_TRUE(after.read_all().ends_with("hello"));
}
