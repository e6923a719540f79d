// What operators rely on: a purge that needs its token, and counters that follow the traffic.
#include <gtest/gtest.h>

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
  host::metrics::shared_region region(1);
  service_options options;
  options.metrics = &region;
  service svc(options);
  const auto t = data_tile();
  svc.get(tile_path("plots", 15, t.x, t.y));
  svc.get(tile_path("plots", 15, t.x, t.y));
  svc.get(tile_path("plots,beacons", 15, 0, 0));
  svc.get(tile_path("beacons", 3, 0, 0));
  svc.post("/gis/cache/invalidate/plots");

  const std::vector<std::string> routes = [&] {
    std::vector<std::string> out;
    for (const auto& r : svc.module().tileGateway.routes()) out.push_back(r.full_path.text());
    return out;
  }();
  const std::vector<std::string> layers = svc.module().layers.keys();
  const auto text = host::metrics::scrape(region, {routes, layers});
  const auto has = [&](const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; };
  EXPECT_TRUE(has(R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="200"} 2)")) << text;
  EXPECT_TRUE(has(R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="204"} 2)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="miss"} 1)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="redis"} 1)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="beacons",level="empty"} 2)"));
  EXPECT_TRUE(has(R"(mapsvc_tile_results_total{layer="plots",level="empty"} 1)"));
  EXPECT_TRUE(has("mapsvc_cache_invalidated_keys_total 2"));
}

}  // namespace
}  // namespace tile_test
