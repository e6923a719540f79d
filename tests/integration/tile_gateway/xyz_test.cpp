// Vector tiles by z/x/y from the fixture database, through the cache.
#include <gtest/gtest.h>

#include "support.hpp"

namespace tile_test {
namespace {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override { fixture_db::create(); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

class XyzTiles : public ::testing::Test {
 protected:
  void SetUp() override { redis.flushdb(); }
  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(XyzTiles, MissThenHitWithTheSameBytes) {
  const auto t = data_tile();
  const auto path = tile_path("plots", 15, t.x, t.y);
  const auto miss = svc.get(path);
  ASSERT_EQ(miss.status, 200u) << miss.body;
  EXPECT_EQ(miss.headers.at("content-type"), "application/vnd.mapbox-vector-tile");
  EXPECT_FALSE(miss.has("cache-control"));
  EXPECT_FALSE(miss.has("x-cache"));

  const std::string key = "mvt_v8:plots:15:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  EXPECT_EQ(redis.get(key), miss.body);
  EXPECT_GT(redis.ttl(key), 1700);
  EXPECT_LE(redis.ttl(key), 1800);

  const auto hit = svc.get(path);
  ASSERT_EQ(hit.status, 200u);
  EXPECT_EQ(hit.body, miss.body);
  EXPECT_EQ(hit.headers.at("cache-control"), "public, max-age=1800");
  EXPECT_EQ(hit.headers.at("x-cache"), "HIT");
}

TEST_F(XyzTiles, TileCarriesTheLayerItsFeaturesAndTheirProperties) {
  const auto t = data_tile();
  const auto layers = decode_mvt(svc.get(tile_path("plots", 15, t.x, t.y)).body);
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0].name, "plots");
  EXPECT_EQ(layers[0].extent, 4096u);
  ASSERT_EQ(layers[0].features.size(), 3u);
  // Largest first.
  const auto& big = layers[0].features[0];
  EXPECT_EQ(big.at("ID"), "1");
  EXPECT_EQ(big.at("feature_id"), "1");
  EXPECT_EQ(big.at("PLOT_NO"), "A-1");
  EXPECT_EQ(big.at("AREA_SYSTEM"), "1500.5");
  EXPECT_EQ(big.at("file_no"), "FCT/1");
  EXPECT_EQ(big.size(), 9u);

  const auto beacons = decode_mvt(svc.get(tile_path("beacons", 15, t.x, t.y)).body);
  ASSERT_EQ(beacons.size(), 1u);
  EXPECT_EQ(beacons[0].features.size(), 2u);
  EXPECT_EQ(beacons[0].features[0].count("BEACON_NO"), 1u);
}

TEST_F(XyzTiles, FeatureLimitKeepsTheLargest) {
  const auto t = data_tile();
  const auto layers = decode_mvt(svc.get(tile_path("plots", 15, t.x + LIMIT_TILE_OFFSET, t.y)).body);
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0].features.size(), 3000u);
  EXPECT_EQ(layers[0].features[0].at("PLOT_NO"), "BIG");
}

TEST_F(XyzTiles, EmptyTilesAre204AndNotStored) {
  const auto t = data_tile();
  const auto empty = svc.get(tile_path("plots", 15, t.x + 5, t.y + 5));
  EXPECT_EQ(empty.status, 204u);
  EXPECT_TRUE(empty.body.empty());
  EXPECT_TRUE(redis.keys("mvt_v8:plots:*").empty());
}

TEST_F(XyzTiles, RefusalsInTheirOrder) {
  // Unknown layer before the address check, the address check before the zoom policy.
  EXPECT_EQ(svc.get("/gis/roads/0/0/0.pbf").body, R"({"detail":"Layer 'roads' not found"})");
  EXPECT_EQ(svc.get("/gis/roads/0/0/0.pbf").status, 404u);
  const auto invalid = svc.get("/gis/beacons/3/8/0.pbf");
  EXPECT_EQ(invalid.status, 400u);
  EXPECT_EQ(invalid.body, R"({"detail":"Invalid tile coordinates: z=3, x=8, y=0"})");
  EXPECT_EQ(svc.get("/gis/plots/0/0/0.pbf").status, 400u);
  const auto huge = svc.get("/gis/plots/99999999999999999999999/1/-1.pbf");
  EXPECT_EQ(huge.status, 400u);
  EXPECT_EQ(huge.body, R"({"detail":"Invalid tile coordinates: z=99999999999999999999999, x=1, y=-1"})");
  EXPECT_EQ(svc.get("/gis/plots/x/1/1.pbf").status, 422u);
}

TEST_F(XyzTiles, BelowTheMinimumZoomIs204EvenWhenCached) {
  redis.set("mvt_v8:plots:7:66:62", "stale bytes");
  const auto r = svc.get("/gis/plots/7/66/62.pbf");
  EXPECT_EQ(r.status, 204u);
  EXPECT_TRUE(r.body.empty());
}

TEST_F(XyzTiles, CachedEmptyValueCountsAsMiss) {
  const auto t = data_tile();
  const std::string key = "mvt_v8:plots:15:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  redis.set(key, "");
  const auto r = svc.get(tile_path("plots", 15, t.x, t.y));
  EXPECT_EQ(r.status, 200u);
  EXPECT_FALSE(r.has("x-cache"));
  EXPECT_FALSE(redis.get(key)->empty());
}

TEST_F(XyzTiles, LowZoomAreaLayersAreSimplifiedButServed) {
  const auto t = host::helpers::tile_for(9.05, 7.45, 6);
  const auto r = svc.get(tile_path("lgas", 6, t.x, t.y));
  ASSERT_EQ(r.status, 200u);
  const auto layers = decode_mvt(r.body);
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0].features.at(0).at("name"), "Abuja Municipal");
  EXPECT_EQ(redis.ttl("mvt_v8:lgas:6:" + std::to_string(t.x) + ":" + std::to_string(t.y)) > 7000, true);
}

}  // namespace
}  // namespace tile_test
