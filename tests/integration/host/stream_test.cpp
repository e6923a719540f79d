// Streamed answers over real sockets: framing on 1.1 and 1.0, the end of a stream when the
// client leaves, stops reading or the server drains.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "host/http/app.hpp"
#include "host/http/server.hpp"
#include "host/http/stream_writer.hpp"
#include "test_support/loopback.hpp"
#include "test_support/wait.hpp"

namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace host::http;

// What the producers saw, read by the test thread.
struct stream_log {
  std::atomic<int> started = 0;
  std::atomic<int> ended = 0;          // producers that have returned or been cancelled
  std::atomic<int> refused_writes = 0;  // writes that returned false
};

asio::awaitable<void> wait_for(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

struct end_counter {
  stream_log& log;
  ~end_counter() { ++log.ended; }
};

// "a", "", "bb", then the end.
asio::awaitable<void> two_chunks(stream_log& log, stream_writer& out) {
  ++log.started;
  end_counter counted{log};
  co_await out.write("a");
  co_await out.write("");
  co_await out.write("bb");
}

// One chunk, then silence until cancelled.
asio::awaitable<void> then_silence(stream_log& log, stream_writer& out) {
  ++log.started;
  end_counter counted{log};
  if (!co_await out.write("first")) co_return;
  co_await wait_for(60s);
}

// As much as the client takes, until a write is refused.
asio::awaitable<void> flood(stream_log& log, stream_writer& out) {
  ++log.started;
  end_counter counted{log};
  const std::string block(1 << 20, 'x');
  while (co_await out.write(block)) {
  }
  ++log.refused_writes;
}

using producer_fn = asio::awaitable<void> (*)(stream_log&, stream_writer&);

class streaming_server {
 public:
  explicit streaming_server(server_options options = {}) : work_(asio::make_work_guard(io_)) {
    router r;
    const std::pair<const char*, producer_fn> routes[] = {
        {"/two", two_chunks}, {"/silence", then_silence}, {"/flood", flood}};
    for (const auto& [path, produce] : routes) {
      r.add({.path = path, .name = path + 1}, [this, produce](request_context&) -> asio::awaitable<response> {
        response answer = raw_response("", "text/event-stream");
        answer.stream = [this, produce](stream_writer& out) { return produce(log, out); };
        co_return answer;
      });
    }
    r.add({.path = "/hello", .name = "hello"}, [](request_context&) -> asio::awaitable<response> {
      co_return raw_response("hello", "text/plain");
    });
    app_.mount(r);
    options.port = 0;
    server_ = std::make_unique<server>(io_, app_, options);
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~streaming_server() {
    begin_shutdown().wait_for(5s);
    work_.reset();
    io_.stop();
    thread_.join();
  }
  unsigned short port() const { return server_->port(); }
  std::future<void> begin_shutdown() {
    auto done = std::make_shared<std::promise<void>>();
    auto f = done->get_future();
    asio::post(io_, [this, done] {
      if (server_->draining()) return done->set_value();
      server_->shutdown([done] { done->set_value(); });
    });
    return f;
  }
  stream_log log;

 private:
  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  app app_{"t", "1"};
  std::unique_ptr<server> server_;
  std::thread thread_;
};

class client {
 public:
  // A small receive buffer, so that a client that does not read fills it soon.
  explicit client(unsigned short port) : fd_(test_support::connect_loopback(port, 4096)) {}
  ~client() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void send(const std::string& data) { ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL); }
  // Reads until `text` has arrived (or the peer closes, or 5 s pass).
  std::string read_until(const std::string& text) {
    char buf[4096];
    while (received_.find(text) == std::string::npos) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      received_.append(buf, static_cast<std::size_t>(n));
    }
    return received_;
  }
  std::string read_all() { return read_until(std::string(1, '\0') + "never"); }

 private:
  int fd_;
  std::string received_;
};

using test_support::eventually;

TEST(StreamedAnswers, ChunkedOnHttp11AndTheConnectionGoesOn) {
  streaming_server srv;
  client c(srv.port());
  c.send("GET /two HTTP/1.1\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const auto r = c.read_all();
  const auto head_end = r.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos) << r;
  const auto head = r.substr(0, head_end);
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK")) << head;
  EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  // The empty write sent nothing: an empty chunk would have ended the body early.
  const std::string body = "1\r\na\r\n2\r\nbb\r\n0\r\n\r\n";
  EXPECT_EQ(r.substr(head_end + 4, body.size()), body) << r;
  EXPECT_TRUE(r.ends_with("hello")) << r;
}

TEST(StreamedAnswers, CloseDelimitedOnHttp10AndNotRunForHead) {
  streaming_server srv;
  {
    client c(srv.port());
    c.send("GET /two HTTP/1.0\r\nHost: x\r\n\r\n");
    const auto r = c.read_all();
    EXPECT_TRUE(r.starts_with("HTTP/1.0 200 OK")) << r;
    EXPECT_EQ(r.find("Transfer-Encoding"), std::string::npos) << r;
    EXPECT_EQ(r.find("Content-Length"), std::string::npos) << r;
    EXPECT_TRUE(r.ends_with("\r\n\r\nabb")) << r;
  }
  client c(srv.port());
  c.send("HEAD /two HTTP/1.1\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const auto r = c.read_all();
  EXPECT_TRUE(r.ends_with("\r\n\r\nhello")) << r;
  EXPECT_EQ(srv.log.started, 1);  // only the GET above
}

TEST(StreamedAnswers, AClientThatLeavesEndsTheProducer) {
  streaming_server srv;
  client c(srv.port());
  c.send("GET /silence HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(c.read_until("first\r\n").find("5\r\nfirst\r\n"), std::string::npos);
  EXPECT_EQ(srv.log.ended, 0);
  c.close();
  EXPECT_TRUE(eventually([&] { return srv.log.ended == 1; }));
}

TEST(StreamedAnswers, AClientThatStopsReadingIsDropped) {
  server_options o;
  o.write_timeout = 300ms;
  streaming_server srv(o);
  client c(srv.port());
  c.send("GET /flood HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(eventually([&] { return srv.log.refused_writes == 1 && srv.log.ended == 1; }, 5s));
}

// Streams never hold up a drain: they end at once with their last chunk.
TEST(StreamedAnswers, TheDrainEndsStreamsAtOnce) {
  streaming_server srv;  // the default grace of 10 s
  client a(srv.port()), b(srv.port());
  a.send("GET /silence HTTP/1.1\r\nHost: x\r\n\r\n");
  b.send("GET /silence HTTP/1.0\r\nHost: x\r\n\r\n");
  a.read_until("first\r\n");
  b.read_until("first");
  const auto t0 = std::chrono::steady_clock::now();
  auto stopped = srv.begin_shutdown();
  EXPECT_EQ(stopped.wait_for(3s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_TRUE(a.read_all().ends_with("5\r\nfirst\r\n0\r\n\r\n"));
  EXPECT_TRUE(b.read_all().ends_with("\r\n\r\nfirst"));
  EXPECT_TRUE(eventually([&] { return srv.log.ended == 2; }));
}

}  // namespace
