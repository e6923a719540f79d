// What operators rely on: a purge that needs its token, and counters that follow the traffic.
#include <gtest/gtest.h>

#include <future>

#include "host/database/get_db.hpp"
#include "mapsvc/tile_gateway/warm_up.hpp"
#include "support.hpp"

namespace tile_test {
namespace {

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    redis.flushdb();
    redis.set("mvt_v8:plots:15:1:1", "x");
  }
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(Operations, PurgeWithoutWithAWrongAndWithTheRightToken) {
  service_options options;
  options.admin_token = "purge-token-123";
  service svc(options);
  const auto without = svc.post("/gis/cache/invalidate/plots");
  EXPECT_EQ(without.status, 401u);
  EXPECT_EQ(without.headers.at("www-authenticate"), R"(Bearer realm="mapsvc")");
  EXPECT_EQ(svc.post("/gis/cache/invalidate/all", {{"Authorization", "Bearer purge-token-12"}}).status, 401u);
  EXPECT_EQ(svc.post("/gis/cache/invalidate/nope").status, 401u);  // nothing is told before the token
  EXPECT_TRUE(redis.get("mvt_v8:plots:15:1:1"));

  const auto right = svc.post("/gis/cache/invalidate/plots", {{"Authorization", "Bearer purge-token-123"}});
  EXPECT_EQ(right.status, 200u);
  EXPECT_FALSE(redis.get("mvt_v8:plots:15:1:1"));
}

TEST_F(Operations, CountersFollowRequestsTilesAndInvalidations) {
  service_options options;
  options.metrics = true;
  service svc(options);
  const auto t = data_tile();
  svc.get(tile_path("plots", 15, t.x, t.y));
  svc.get(tile_path("plots", 15, t.x, t.y));
  svc.get(tile_path("plots,beacons", 15, 0, 0));
  svc.get(tile_path("beacons", 3, 0, 0));
  svc.post("/gis/cache/invalidate/plots");

  const auto text = svc.scrape_metrics();
  const auto has = [&](const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; };
  EXPECT_TRUE(has(R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="200"} 2)")) << text;
  EXPECT_TRUE(has(R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="204"} 2)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="miss"} 1)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="redis"} 1)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="beacons",level="empty"} 2)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="empty"} 1)"));
  EXPECT_TRUE(has("mapsvc_cache_invalidated_keys_total 2"));
}

TEST_F(Operations, AStartWarmsItsConnectionsAndADeadDatabaseEndsTheWarmUpAtOnce) {
  service svc;
  std::promise<std::size_t> warmed;
  svc.on_loop([&] {
    mapsvc::tile_gateway::warm_up(
        svc.executor(), [&] { return host::database::get_db(svc.pool()); }, 3,
        [&](std::size_t n) { warmed.set_value(n); });
  });
  auto done = warmed.get_future();
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(done.get(), 3u);
  std::promise<host::database::pool_stats> stats;
  svc.on_loop([&] { stats.set_value(svc.pool().stats()); });
  const auto s = stats.get_future().get();
  EXPECT_EQ(s.open, 3u);  // opened side by side, handed back
  EXPECT_EQ(s.idle, 3u);

  // Nothing listens there: the warm-up reports nothing warmed without waiting for time-outs.
  boost::asio::io_context io;
  host::database::pool_options options;
  options.conninfo = "postgresql://postgres@127.0.0.1:1/none";
  host::database::pool dead(io.get_executor(), options);
  std::optional<std::size_t> dead_warmed;
  mapsvc::tile_gateway::warm_up(
      io.get_executor(), [&] { return host::database::get_db(dead); }, 2, [&](std::size_t n) { dead_warmed = n; });
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (!dead_warmed && std::chrono::steady_clock::now() < until) io.run_one_until(until);
  ASSERT_TRUE(dead_warmed.has_value());
  EXPECT_EQ(*dead_warmed, 0u);
}

}  // namespace
}  // namespace tile_test
