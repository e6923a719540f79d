// The service under faults: Redis away or paused, the database away, statements too slow.
#include <gtest/gtest.h>

#include <future>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "support.hpp"

namespace tile_test {
namespace {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using clock_type = std::chrono::steady_clock;

// A TCP proxy in front of PostgreSQL that the test can cut and restore.
class cuttable_proxy {
 public:
  explicit cuttable_proxy(int target_port) : target_(target_port), acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~cuttable_proxy() {
    asio::post(io_, [this] { io_.stop(); });
    thread_.join();
  }
  int port() const { return port_; }
  // Cut: every forwarded connection is closed and new ones are refused at once.
  void cut(bool down) {
    asio::post(io_, [this, down] {
      down_ = down;
      if (down)
        for (auto& s : sockets_)
          if (auto p = s.lock()) p->close();
    });
  }

 private:
  void accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket client) {
      if (ec) return;
      if (down_) {
        client.close();
      } else {
        auto a = std::make_shared<tcp::socket>(std::move(client));
        auto b = std::make_shared<tcp::socket>(io_);
        b->connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(target_)}, ec);
        if (!ec) {
          sockets_.push_back(a);
          sockets_.push_back(b);
          pump(a, b);
          pump(b, a);
        }
      }
      accept();
    });
  }
  static void pump(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
    auto buf = std::make_shared<std::array<char, 16384>>();
    from->async_read_some(asio::buffer(*buf), [from, to, buf](boost::system::error_code ec, std::size_t n) {
      if (ec) {
        to->close();
        return;
      }
      asio::async_write(*to, asio::buffer(*buf, n), [from, to, buf](boost::system::error_code wec, std::size_t) {
        if (wec) {
          from->close();
          return;
        }
        pump(from, to);
      });
    });
  }

  int target_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  int port_ = 0;
  bool down_ = false;
  std::vector<std::weak_ptr<tcp::socket>> sockets_;
  std::thread thread_;
};

std::string via_port(const std::string& url, int port) {
  // postgresql://user@host:PORT/db -> the same with another port
  const auto at = url.find('@'), slash = url.find('/', at);
  const auto colon = url.rfind(':', slash);
  return url.substr(0, colon + 1) + std::to_string(port) + url.substr(slash);
}

int database_port() {
  const std::string url = fixture_db::url();
  const auto at = url.find('@'), slash = url.find('/', at);
  return std::stoi(url.substr(url.rfind(':', slash) + 1, slash - url.rfind(':', slash) - 1));
}

asio::awaitable<mapsvc::tile_gateway::cache_breaker::state> breaker_state(
    mapsvc::tile_gateway::tile_gateway_module& m) {
  co_return m.breaker.current();
}

long ms_since(clock_type::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
}

TEST(Faults, RedisAwayTilesStillServedWithoutCachingHeaders) {
  service_options o;
  o.redis_port = free_port();
  service svc(o);
  const auto t = data_tile();
  for (int i = 0; i < 2; ++i) {
    const auto r = svc.get(tile_path("plots", 15, t.x, t.y));
    EXPECT_EQ(r.status, 200u);
    EXPECT_FALSE(r.has("x-cache"));
  }
  const auto health = nlohmann::json::parse(svc.get("/gis/health/").body);
  EXPECT_EQ(health["status"], "healthy");
  EXPECT_EQ(health["cache_status"], "unhealthy");
  const auto invalidated = nlohmann::json::parse(svc.post("/gis/cache/invalidate/plots").body);
  EXPECT_EQ(invalidated["message"], "Cache for layer 'plots' invalidated successfully. 0 keys deleted.");
  // A refused connection costs nothing, so it never makes the cache skip Redis.
  EXPECT_EQ(svc.run(breaker_state(svc.module())), mapsvc::tile_gateway::cache_breaker::state::closed);
}

// A service on a redis-server of the test's own, which it may pause.
service_options on(const redis_child& redis) {
  service_options o;
  o.redis_port = redis.port();
  o.redis_db = 0;
  return o;
}

// Tiles next to the data tile, none cached yet.
std::string fresh_tile(int i) {
  const auto t = data_tile();
  return tile_path("plots", 16, t.x * 2 + 3 + i, t.y * 2 + 3);
}

TEST(Faults, PausedRedisIsSkippedAfterOneBoundAndUsedAgainOnceItResumes) {
  redis_child redis;
  service svc(on(redis));
  log_capture logs(svc.module().logger);
  const auto t = data_tile();
  const auto cached = tile_path("plots", 15, t.x, t.y);
  ASSERT_EQ(svc.get(cached).status, 200u);
  ASSERT_TRUE(svc.get(cached).has("x-cache"));

  redis.pause();
  auto t0 = clock_type::now();
  EXPECT_LT(svc.get(fresh_tile(0)).status, 300u);
  EXPECT_LT(ms_since(t0), 1800) << "the read waits its bound, about a second";
  // The requests after it skip Redis: each of them waited its second before.
  t0 = clock_type::now();
  for (int i = 1; i <= 20; ++i) EXPECT_LT(svc.get(fresh_tile(i)).status, 300u);
  const auto from_database = svc.get(cached);
  EXPECT_EQ(from_database.status, 200u);
  EXPECT_FALSE(from_database.has("x-cache"));
  EXPECT_LT(ms_since(t0), 3000);
  // The health check asks Redis itself.
  t0 = clock_type::now();
  EXPECT_EQ(nlohmann::json::parse(svc.get("/gis/health/").body)["cache_status"], "unhealthy");
  EXPECT_LT(ms_since(t0), 2800);

  redis.resume();
  t0 = clock_type::now();
  http_reply again = svc.get(cached);
  while (!again.has("x-cache") && ms_since(t0) < 5000) {
    std::this_thread::sleep_for(20ms);
    again = svc.get(cached);
  }
  EXPECT_EQ(again.headers["x-cache"], "HIT");
  EXPECT_LT(ms_since(t0), 2000) << "within about a second of the resume";

  EXPECT_EQ(logs.count("Redis did not answer within 1000 ms: skipping the cache"), 1);
  EXPECT_EQ(logs.count("Redis no longer stalls: cache in use again"), 1);
  EXPECT_LT(logs.count("Cache get failed for"), 5) << "skipped calls log nothing";
}

TEST(Faults, StoreIntoAPausedRedisWaitsTheReadBoundNotTheSocketTimeOut) {
  redis_child redis;
  service svc(on(redis));
  log_capture logs(svc.module().logger);
  const auto t = data_tile();
  pg_admin locker(fixture_db::url());
  const std::string locker_pid = locker.exec("SELECT pg_backend_pid()")[0];
  locker.exec(R"(BEGIN; LOCK TABLE "BEACON" IN ACCESS EXCLUSIVE MODE)");
  auto answer = std::async(std::launch::async, [&] { return svc.get(tile_path("beacons", 15, t.x, t.y)); });

  // Once the statement waits for the lock, the read (a miss) is over: pause Redis for the store.
  pg_admin observer(fixture_db::url());
  std::string waiting = "0";
  for (int i = 0; i < 250 && waiting == "0"; ++i) {
    waiting = observer.exec(
        "SELECT count(*) FROM pg_stat_activity WHERE pg_blocking_pids(pid) @> ARRAY[" + locker_pid +
        "] AND query LIKE '%ST_AsMVT%'")[0];
    if (waiting == "0") std::this_thread::sleep_for(20ms);
  }
  ASSERT_NE(waiting, "0");
  redis.pause();
  const auto t0 = clock_type::now();
  locker.exec("COMMIT");
  const auto r = answer.get();
  EXPECT_EQ(r.status, 200u);
  EXPECT_FALSE(decode_mvt(r.body).empty());
  EXPECT_LT(ms_since(t0), 2500) << "the store's bound is the read's second, not the socket's five";
  EXPECT_EQ(logs.count("Cache set failed for beacons:15:"), 1);
  EXPECT_EQ(logs.count("Redis did not answer within 1000 ms"), 1);
  redis.resume();
}

TEST(Faults, DatabaseAwayIs500AndTheServiceRecovers) {
  cuttable_proxy proxy(database_port());
  service_options o;
  o.database_url = via_port(fixture_db::url(), proxy.port());
  service svc(o);
  const auto t = data_tile();
  ASSERT_EQ(svc.get(tile_path("beacons", 15, t.x, t.y)).status, 200u);
  proxy.cut(true);
  const auto down = svc.get(tile_path("beacons", 16, t.x * 2, t.y * 2));
  EXPECT_EQ(down.status, 500u);
  EXPECT_EQ(down.body, R"({"detail":"Database error"})");
  proxy.cut(false);
  const auto back = svc.get(tile_path("beacons", 16, t.x * 2, t.y * 2));
  EXPECT_NE(back.status, 500u) << back.body;
}

TEST(Faults, SlowStatementIs408AndCancelledOnTheServer) {
  service_options o;
  o.query_timeout = std::chrono::milliseconds(400);
  service svc(o);
  pg_admin locker(fixture_db::url());
  locker.exec(R"(BEGIN; LOCK TABLE "BEACON" IN ACCESS EXCLUSIVE MODE)");
  const auto t = data_tile();
  const auto t0 = clock_type::now();
  const auto r = svc.get(tile_path("beacons", 17, t.x * 4, t.y * 4));
  EXPECT_EQ(r.status, 408u);
  EXPECT_EQ(r.body, R"({"detail":"Tile generation timeout at zoom 17"})");
  EXPECT_LT(ms_since(t0), 3000);

  pg_admin observer(fixture_db::url());
  std::string still_running = "1";
  for (int i = 0; i < 50 && still_running != "0"; ++i) {
    still_running = observer.exec(
        "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() AND state = 'active' "
        "AND query LIKE '%ST_AsMVT%' AND pid <> pg_backend_pid()")[0];
    if (still_running != "0") std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(still_running, "0");
  locker.exec("COMMIT");
  EXPECT_TRUE(redis_sync(env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db())
                  .keys("mvt_v8:beacons:17:*")
                  .empty());
}

// The endpoints beside the tile one run their own statements: each answers a database that is
// away with 500 (and the box endpoint one too slow with 408), in its own words, and logs it.
TEST(Faults, EveryEndpointThatQueriesAnswersDatabaseFailuresInItsOwnWords) {
  redis_sync(env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()).flushdb();
  const auto t = data_tile();
  const auto b = host::helpers::bounds_of(t.z, t.x, t.y);
  const std::string bbox =
      fmt::format("/gis/beacons/bbox/?minx={}&miny={}&maxx={}&maxy={}&srid=3857", b.minx, b.miny, b.maxx, b.maxy);
  struct expected {
    std::string path;
    std::string answer;
    std::string log;
  };
  {
    cuttable_proxy proxy(database_port());
    service_options o;
    o.database_url = via_port(fixture_db::url(), proxy.port());
    service svc(o);
    log_capture logs(svc.module().logger);
    proxy.cut(true);
    for (const auto& e : std::vector<expected>{
             {"/gis/beacons/tilejson.json", R"({"detail":"Database error"})", "Error reading the columns of beacons: "},
             {"/gis/beacons/", R"({"detail":"Database error"})", "Error calculating centroid for beacons: "},
             {bbox, R"({"detail":"Internal server error"})", "Error generating bbox tile for beacons: "}}) {
      const auto r = svc.get(e.path);
      EXPECT_EQ(r.status, 500u) << e.path;
      EXPECT_EQ(r.body, e.answer) << e.path;
      EXPECT_EQ(logs.count(e.log), 1) << e.log;
    }
  }
  service_options o;
  o.query_timeout = std::chrono::milliseconds(400);
  service svc(o);
  log_capture logs(svc.module().logger);
  pg_admin locker(fixture_db::url());
  locker.exec(R"(BEGIN; LOCK TABLE "BEACON" IN ACCESS EXCLUSIVE MODE)");
  // (The column and centroid statements read only the catalogue and its statistics: the lock
  // does not hold them.)
  const auto r = svc.get(bbox);
  EXPECT_EQ(r.status, 408u);
  EXPECT_EQ(r.body, R"({"detail":"Query timeout"})");
  EXPECT_EQ(logs.count("Timeout generating bbox tile for beacons"), 1);
  locker.exec("COMMIT");
}

}  // namespace
}  // namespace tile_test
