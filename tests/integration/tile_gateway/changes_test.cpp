// GET /gis/changes over a real socket: live batches, resuming, the reset of a client too far
// behind, the cap on streams, heartbeats and the drain. Also the max-age of cached hits.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "support.hpp"
#include "test_support/loopback.hpp"
#include "test_support/wait.hpp"

namespace tile_test {
namespace {

using mapsvc::tile_gateway::change_batch;

// An event stream read over a plain socket, its chunks taken apart.
class event_client {
 public:
  event_client(unsigned short port, const std::string& target, const std::string& extra_headers = {})
      : fd_(test_support::connect_loopback(port)) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_headers + "\r\n";
    ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
  }
  ~event_client() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // The status line and header fields.
  std::string head() {
    while (head_.empty()) {
      const auto end = raw_.find("\r\n\r\n");
      if (end != std::string::npos) {
        head_ = raw_.substr(0, end + 2);
        raw_.erase(0, end + 4);
      } else if (!receive()) {
        break;
      }
    }
    return head_;
  }

  // The body so far, once it holds `text` (or the stream ended, or 5 s passed).
  const std::string& body_until(const std::string& text) {
    head();
    while (body_.find(text) == std::string::npos && !ended_) {
      unchunk();
      if (body_.find(text) != std::string::npos || ended_) break;
      if (!receive()) break;
    }
    return body_;
  }
  // The whole body: until the last chunk or the connection's end.
  const std::string& body_to_end() { return body_until(std::string(1, '\0')); }
  bool ended() const { return ended_; }  // the last chunk came

 private:
  bool receive() {
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    raw_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  void unchunk() {
    for (;;) {
      const auto line_end = raw_.find("\r\n");
      if (line_end == std::string::npos) return;
      const std::size_t size = std::stoul(raw_.substr(0, line_end), nullptr, 16);
      if (raw_.size() < line_end + 2 + size + 2) return;
      if (size == 0) ended_ = true;
      body_ += raw_.substr(line_end + 2, size);
      raw_.erase(0, line_end + 2 + size + 2);
      if (ended_) return;
    }
  }
  int fd_;
  std::string raw_, head_, body_;
  bool ended_ = false;
};

change_batch batch(std::int64_t position) {
  return {position, {{"plots", 7.49, 9.05, 7.5, 9.06, 8, 20}, {"beacons", 7.49, 9.05, 7.49, 9.05, 12, 20}}};
}

std::string event_of(std::int64_t position) {
  return "id: " + std::to_string(position) + "\nevent: change\ndata: {\"position\":" + std::to_string(position) +
         R"(,"changes":[{"layer":"plots","bbox":[7.49,9.05,7.5,9.06],"minzoom":8,"maxzoom":20},)"
         R"({"layer":"beacons","bbox":[7.49,9.05,7.49,9.05],"minzoom":12,"maxzoom":20}]})" + "\n\n";
}

using test_support::eventually;

class ChangeStream : public ::testing::Test {
 protected:
  void publish(std::int64_t from, std::int64_t to) {
    svc.on_loop([&] {
      for (auto p = from; p <= to; ++p) svc.module().changes.publish(batch(p));
    });
  }
  service svc;
};

TEST_F(ChangeStream, SendsEachBatchAsItIsPublished) {
  event_client c(svc.port(), "/gis/changes", "Origin: https://maps.example.org\r\n");
  const auto head = c.head();
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n")) << head;
  for (const auto* field : {"Content-Type: text/event-stream\r\n", "Cache-Control: no-store\r\n",
                            "X-Accel-Buffering: no\r\n", "Transfer-Encoding: chunked\r\n",
                            "Access-Control-Allow-Origin: *\r\n"})
    EXPECT_NE(head.find(field), std::string::npos) << field << head;
  // The starting position is the client's last event id until the first batch.
  EXPECT_EQ(c.body_until("\n\n"), "retry: 2000\nid: 0\n\n");
  publish(5, 5);
  EXPECT_EQ(c.body_until(event_of(5)), "retry: 2000\nid: 0\n\n" + event_of(5));
  publish(7, 8);
  EXPECT_TRUE(c.body_until(event_of(8)).ends_with(event_of(5) + event_of(7) + event_of(8)));
}

TEST_F(ChangeStream, ResumesAfterTheLastEventIdOrSince) {
  publish(1, 3);
  {
    event_client c(svc.port(), "/gis/changes", "Last-Event-ID: 1\r\n");
    EXPECT_EQ(c.body_until(event_of(3)), "retry: 2000\n\n" + event_of(2) + event_of(3));
  }
  {
    event_client c(svc.port(), "/gis/changes?since=2");
    EXPECT_EQ(c.body_until(event_of(3)), "retry: 2000\n\n" + event_of(3));
  }
  {
    // A browser reconnecting sends both: the header is the newer.
    event_client c(svc.port(), "/gis/changes?since=0", "Last-Event-ID: 3\r\n");
    EXPECT_EQ(c.body_until("\n\n"), "retry: 2000\n\n");
    publish(4, 4);
    EXPECT_EQ(c.body_until(event_of(4)), "retry: 2000\n\n" + event_of(4));
  }
}

// A client whose position is older than the batches held missed some: it must reload, and
// resumes from the newest position.
TEST_F(ChangeStream, AClientTooFarBehindIsToldToReload) {
  publish(1, 1100);  // more than the hub keeps
  const std::string reset = "id: 1100\nevent: reset\ndata: {\"position\":1100}\n\n";
  event_client c(svc.port(), "/gis/changes?since=3");
  EXPECT_EQ(c.body_until(reset), "retry: 2000\n\n" + reset);
  publish(1101, 1101);
  EXPECT_EQ(c.body_until(event_of(1101)), "retry: 2000\n\n" + reset + event_of(1101));
  // Still held: no reset.
  event_client held(svc.port(), "/gis/changes?since=1099");
  EXPECT_EQ(held.body_until(event_of(1101)), "retry: 2000\n\n" + event_of(1100) + event_of(1101));
}

TEST_F(ChangeStream, RefusesPositionsThatAreNotSmallNonNegativeIntegers) {
  for (const std::string bad : {"abc", "-1", "1.5", "+1", "", "12345678901234567890", "9999999999999999999"}) {
    const auto r = svc.request("GET", "/gis/changes", {{"Last-Event-ID", bad}});
    EXPECT_EQ(r.status, 400u) << "'" << bad << "'";
    EXPECT_NE(r.body.find("Last-Event-ID"), std::string::npos) << r.body;
  }
  for (const std::string bad : {"x", "", "-0", "0x10", "20000000000000000000"}) {
    const auto r = svc.get("/gis/changes?since=" + bad);
    EXPECT_EQ(r.status, 400u) << "'" << bad << "'";
    EXPECT_EQ(r.headers.at("content-type"), "application/json");
  }
  EXPECT_EQ(svc.module().changes.subscribers(), 0u);
}

TEST(ChangeStreams, BeyondTheCapIs503UntilOneCloses) {
  service svc({.max_change_streams = 2});
  auto first = std::make_unique<event_client>(svc.port(), "/gis/changes");
  event_client second(svc.port(), "/gis/changes");
  first->body_until("\n\n");
  second.body_until("\n\n");
  const auto refused = svc.get("/gis/changes");
  EXPECT_EQ(refused.status, 503u);
  EXPECT_EQ(refused.headers.at("retry-after"), "5");
  EXPECT_EQ(refused.headers.at("content-type"), "application/json");
  EXPECT_NE(refused.body.find("\"detail\""), std::string::npos);
  first.reset();  // the server notices the client left and lets its stream go
  EXPECT_TRUE(eventually([&] {
    std::size_t open = 0;
    svc.on_loop([&] { open = svc.module().changes.subscribers(); });
    return open == 1;
  }));
  event_client third(svc.port(), "/gis/changes");
  EXPECT_TRUE(third.head().starts_with("HTTP/1.1 200"));
}

TEST(ChangeStreams, QuietStreamsGetHeartbeats) {
  service svc({.change_heartbeat = 100ms});
  event_client c(svc.port(), "/gis/changes");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.body_until(": keep-alive\n\n: keep-alive\n\n"),
            "retry: 2000\nid: 0\n\n: keep-alive\n\n: keep-alive\n\n");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST(ChangeStreams, TheDrainEndsThemAtOnce) {
  service svc;
  event_client a(svc.port(), "/gis/changes"), b(svc.port(), "/gis/changes?since=0");
  a.body_until("\n\n");
  b.body_until("\n\n");
  const auto t0 = std::chrono::steady_clock::now();
  auto stopped = svc.begin_shutdown();
  EXPECT_EQ(stopped.wait_for(3s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);  // not the 10 s grace
  a.body_to_end();
  EXPECT_TRUE(a.ended());
  EXPECT_EQ(svc.module().changes.subscribers(), 0u);
}

// Cached hits advertise the configured max-age in place of the zoom's cache TTL.
TEST(ClientMaxAge, CachedHitsCarryTheConfiguredMaxAge) {
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  redis.flushdb();
  service svc({.client_max_age = 60});
  const auto t = data_tile();
  for (const std::string layer : {"plots", "beacons,plots"}) {
    const auto miss = svc.get(tile_path(layer, 15, t.x, t.y));
    ASSERT_EQ(miss.status, 200u) << layer;
    EXPECT_FALSE(miss.has("cache-control")) << layer;
    const auto hit = svc.get(tile_path(layer, 15, t.x, t.y));
    EXPECT_EQ(hit.headers.at("x-cache"), "HIT") << layer;
    EXPECT_EQ(hit.headers.at("cache-control"), "public, max-age=60") << layer;
  }
  service zero({.client_max_age = 0});
  EXPECT_EQ(zero.get(tile_path("plots", 15, t.x, t.y)).headers.at("cache-control"), "public, max-age=0");
}

}  // namespace
}  // namespace tile_test
