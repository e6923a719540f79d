// Removing cached entries by layer, everything, or a pattern in the background.
#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "support.hpp"

namespace tile_test {
namespace {

class Invalidation : public ::testing::Test {
 protected:
  void SetUp() override {
    redis.flushdb();
    for (const char* key : {"mvt_v8:plots:15:1:1", "mvt_v8:plots:16:2:2", "mvt_v8:plots:18:3:3",
                            "mvt_v8:beacons:15:1:1", "mvt_v8:bbox:plots:1:2:3:4:5000:True",
                            "mvt_v8:centroid:plots", "mvt_v8:health_check", "other:plots:1"})
      redis.set(key, "x");
  }
  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(Invalidation, LayerLeavesBoxAndCentroidEntries) {
  const auto r = svc.post("/gis/cache/invalidate/plots");
  ASSERT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, R"({"status_code":200,"message":"Cache for layer 'plots' invalidated successfully. 3 keys deleted.",)"
                    R"("data":{"layer":"plots","deleted_count":3}})");
  EXPECT_EQ(redis.keys("mvt_v8:*"),
            (std::vector<std::string>{"mvt_v8:bbox:plots:1:2:3:4:5000:True", "mvt_v8:beacons:15:1:1",
                                      "mvt_v8:centroid:plots", "mvt_v8:health_check"}));
}

TEST_F(Invalidation, AllEmptiesTheNamespaceOnly) {
  const auto r = nlohmann::json::parse(svc.post("/gis/cache/invalidate/all").body);
  EXPECT_EQ(r["message"], "All cache invalidated successfully. 7 keys deleted.");
  EXPECT_EQ(r["data"]["deleted_count"], 7);
  EXPECT_TRUE(redis.keys("mvt_v8:*").empty());
  EXPECT_EQ(redis.keys("other:*").size(), 1u);
}

TEST_F(Invalidation, UnknownLayersAndWrongMethod) {
  const auto r = svc.post("/gis/cache/invalidate/All");
  EXPECT_EQ(r.status, 404u);
  EXPECT_EQ(r.body, R"({"detail":"Layer 'All' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas']"})");
  EXPECT_EQ(svc.get("/gis/cache/invalidate/plots").status, 405u);
}

TEST_F(Invalidation, SchedulersDeleteInTheBackground) {
  boost::asio::post(svc.module().executor, [&] { svc.module().invalidate_cache_by_pattern("plots:18:*"); });
  for (int i = 0; i < 100 && redis.get("mvt_v8:plots:18:3:3"); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(redis.get("mvt_v8:plots:18:3:3"));
  EXPECT_TRUE(redis.get("mvt_v8:plots:16:2:2"));

  boost::asio::post(svc.module().executor, [&] { svc.module().invalidate_layer_cache("beacons"); });
  for (int i = 0; i < 100 && redis.get("mvt_v8:beacons:15:1:1"); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(redis.get("mvt_v8:beacons:15:1:1"));

  boost::asio::post(svc.module().executor, [&] { svc.module().invalidate_all_cache(); });
  for (int i = 0; i < 100 && !redis.keys("mvt_v8:*").empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(redis.keys("mvt_v8:*").empty());
}

// Many pages of SCAN, each page's DELs travelling with the next page's SCAN: every matching
// key goes and is counted once, the others stay.
TEST_F(Invalidation, ManyPagesAreWalkedToTheEndAndCountedOnce) {
  for (int i = 0; i < 1500; ++i) {
    redis.set("mvt_v8:plots:17:" + std::to_string(i) + ":1", "x");
    if (i % 3 == 0) redis.set("mvt_v8:beacons:17:" + std::to_string(i) + ":1", "x");
  }
  const auto r = nlohmann::json::parse(svc.post("/gis/cache/invalidate/plots").body);
  EXPECT_EQ(r["data"]["deleted_count"], 1503);
  EXPECT_TRUE(redis.keys("mvt_v8:plots:*").empty());
  EXPECT_EQ(redis.keys("mvt_v8:beacons:*").size(), 501u);
}

TEST_F(Invalidation, PatternWithoutWildcardRemovesAtMostThatKey) {
  EXPECT_EQ(svc.run(svc.module()._invalidate_cache_by_pattern_task("plots:15:1:1")), 1);
  EXPECT_EQ(svc.run(svc.module()._invalidate_cache_by_pattern_task("plots:15:1:1")), 0);
}

}  // namespace
}  // namespace tile_test
