// Several layers in one tile: order as asked, each layer under its own zoom rule and cache entry.
#include <gtest/gtest.h>

#include <future>

#include "support.hpp"

namespace tile_test {
namespace {

class CompositeTiles : public ::testing::Test {
 protected:
  void SetUp() override { redis.flushdb(); }
  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

std::vector<std::string> names_of(const std::vector<mvt_layer>& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l.name);
  return out;
}

TEST_F(CompositeTiles, LayersInTheOrderAskedEachLikeItsOwnTile) {
  const auto t = data_tile();
  const auto composite = svc.get(tile_path("lgas,beacons,plots", 15, t.x, t.y));
  ASSERT_EQ(composite.status, 200u) << composite.body;
  EXPECT_EQ(composite.headers.at("content-type"), "application/vnd.mapbox-vector-tile");
  const auto layers = decode_mvt(composite.body);
  ASSERT_EQ(names_of(layers), (std::vector<std::string>{"lgas", "beacons", "plots"}));
  // The same features as the layer's own tile, which now comes from the entry the composite stored.
  const auto plots_alone = svc.get(tile_path("plots", 15, t.x, t.y));
  EXPECT_EQ(plots_alone.headers.at("x-cache"), "HIT");
  EXPECT_EQ(layers[2].features, decode_mvt(plots_alone.body).at(0).features);
  EXPECT_TRUE(redis.get("mvt_v8:beacons:15:" + std::to_string(t.x) + ":" + std::to_string(t.y)));
}

TEST_F(CompositeTiles, ALayerBelowItsMinimumZoomIsAbsent) {
  const auto t10 = host::helpers::tile_for(9.05, 7.49, 10);
  const auto layers = decode_mvt(svc.get(tile_path("beacons,plots", 10, t10.x, t10.y)).body);
  EXPECT_EQ(names_of(layers), (std::vector<std::string>{"plots"}));  // beacons start at 12
  EXPECT_EQ(svc.get(tile_path("beacons", 10, t10.x, t10.y)).status, 204u);
}

TEST_F(CompositeTiles, CachedLayerEntriesAreReusedAndAllCachedIsAHit) {
  const auto t = data_tile();
  const std::string suffix = ":15:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  // Whatever the plots entry holds is what the composite carries for plots: here another
  // layer's tile, so that reuse is visible in the decoded names.
  const auto lgas = svc.get(tile_path("lgas", 15, t.x, t.y)).body;
  redis.set("mvt_v8:plots" + suffix, lgas);
  const auto first = svc.get(tile_path("plots,beacons", 15, t.x, t.y));
  EXPECT_EQ(names_of(decode_mvt(first.body)), (std::vector<std::string>{"lgas", "beacons"}));
  EXPECT_FALSE(first.has("x-cache"));  // beacons came from the database

  const auto second = svc.get(tile_path("plots,beacons", 15, t.x, t.y));
  EXPECT_EQ(second.body, first.body);
  EXPECT_EQ(second.headers.at("x-cache"), "HIT");
  EXPECT_EQ(second.headers.at("cache-control"), "public, max-age=1800");
  const auto again = svc.request("GET", tile_path("plots,beacons", 15, t.x, t.y), {{"If-None-Match", second.headers.at("etag")}});
  EXPECT_EQ(again.status, 304u);
}

TEST_F(CompositeTiles, EmptyUnknownAndRepeatedLayers) {
  EXPECT_EQ(svc.get(tile_path("plots,beacons", 15, 0, 0)).status, 204u);
  EXPECT_EQ(svc.get(tile_path("plots,beacons", 5, 0, 0)).status, 204u);  // both below their minimum
  const auto unknown = svc.get(tile_path("plots,roads", 15, 1, 1));
  EXPECT_EQ(unknown.status, 404u);
  EXPECT_EQ(unknown.body, R"({"detail":"Layer 'roads' not found"})");
  EXPECT_EQ(svc.get(tile_path("plots,", 15, 1, 1)).status, 404u);
  EXPECT_EQ(svc.get(tile_path("plots,plots", 15, 1, 1)).status, 400u);
  EXPECT_EQ(svc.get(tile_path("plots,beacons", 15, 1 << 15, 0)).status, 400u);
  EXPECT_TRUE(redis.keys("mvt_v8:*").empty());
}

host::database::pool_stats stats_of(service& svc) {
  std::promise<host::database::pool_stats> stats;
  svc.on_loop([&] { stats.set_value(svc.pool().stats()); });
  return stats.get_future().get();
}

TEST_F(CompositeTiles, MissedLayersAreBuiltSideBySideAndTheirSessionsHandedBack) {
  const auto t = data_tile();
  const auto composite = svc.get(tile_path("plots,beacons,cadzones", 15, t.x, t.y));
  ASSERT_EQ(composite.status, 200u) << composite.body;
  EXPECT_EQ(names_of(decode_mvt(composite.body)), (std::vector<std::string>{"plots", "beacons", "cadzones"}));
  const auto s = stats_of(svc);
  EXPECT_EQ(s.open, 3u);  // one connection per layer, at once
  EXPECT_EQ(s.idle, 3u);
}

TEST(CompositeFaults, OneLayerFailingFailsTheTileAndHandsEverySessionBack) {
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  redis.flushdb();
  service_options o;
  o.query_timeout = std::chrono::milliseconds(400);
  service svc(o);
  pg_admin locker(fixture_db::url());
  locker.exec(R"(BEGIN; LOCK TABLE "BEACON" IN ACCESS EXCLUSIVE MODE)");
  const auto t = data_tile();
  const auto r = svc.get(tile_path("plots,beacons", 17, t.x * 4, t.y * 4));
  EXPECT_EQ(r.status, 408u) << r.body;
  locker.exec("ROLLBACK");
  const auto s = stats_of(svc);
  EXPECT_EQ(s.idle, s.open);
  EXPECT_LT(svc.get(tile_path("plots,beacons", 17, t.x * 4, t.y * 4)).status, 300u);  // answered again
}

}  // namespace
}  // namespace tile_test
