// Zoom information, layer centroid, layer list and health.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support.hpp"

namespace tile_test {
namespace {

using json = nlohmann::ordered_json;

class InfoRoutes : public ::testing::Test {
 protected:
  void SetUp() override { redis.flushdb(); }
  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(InfoRoutes, CentroidIsComputedCachedAndServedFromTheCache) {
  const auto first = svc.get("/gis/lgas/");
  ASSERT_EQ(first.status, 200u) << first.body;
  const auto body = json::parse(first.body);
  const auto& data = body["data"];
  EXPECT_EQ(data["layer"], "lgas");
  EXPECT_NEAR(data["centroid_wgs84"]["latitude"].get<double>(), 9.05, 0.05);
  EXPECT_NEAR(data["centroid_wgs84"]["longitude"].get<double>(), 7.45, 0.05);
  EXPECT_EQ(data["suggested_tile"]["z"], 16);
  EXPECT_EQ(data["tile_url"], "/gis/lgas/16/" + std::to_string(data["suggested_tile"]["x"].get<int>()) + "/" +
                                  std::to_string(data["suggested_tile"]["y"].get<int>()) + ".pbf");
  EXPECT_EQ(data["layer_config"]["min_zoom"], 2);
  std::vector<std::string> keys;
  for (const auto& [k, v] : data.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile",
                                            "suggested_tile_bbox", "tile_url", "layer_config"}));

  const auto cached = redis.get("mvt_v8:centroid:lgas");
  ASSERT_TRUE(cached);
  EXPECT_NE(cached->find("\"layer\": \"lgas\", "), std::string::npos) << *cached;
  EXPECT_GT(redis.ttl("mvt_v8:centroid:lgas"), 14000);

  // With the table gone the answer still comes, from the cache.
  pg_admin db(fixture_db::url());
  db.exec(R"(ALTER TABLE "LGAs" RENAME TO "LGAs_away")");
  const auto second = svc.get("/gis/lgas/");
  db.exec(R"(ALTER TABLE "LGAs_away" RENAME TO "LGAs")");
  ASSERT_EQ(second.status, 200u);
  EXPECT_EQ(json::parse(second.body)["data"], data);
}

TEST_F(InfoRoutes, UnreadableCachedCentroidIsRecomputed) {
  redis.set("mvt_v8:centroid:cadzones", std::string("\xff{not json", 10));
  const auto r = svc.get("/gis/cadzones/");
  ASSERT_EQ(r.status, 200u);
  EXPECT_EQ(json::parse(r.body)["data"]["layer"], "cadzones");
  EXPECT_EQ(json::parse(*redis.get("mvt_v8:centroid:cadzones"))["layer"], "cadzones");
}

TEST_F(InfoRoutes, LayerWithoutStatisticsGivesTheNotFoundEnvelope) {
  const auto r = svc.get("/gis/districts/");
  EXPECT_EQ(r.status, 404u);
  EXPECT_EQ(r.body, R"({"status_code":404,"message":"No valid geometry found for layer 'districts'","data":null})");
  EXPECT_FALSE(redis.get("mvt_v8:centroid:districts"));
  EXPECT_EQ(svc.get("/gis/roads/").body, R"({"detail":"Layer 'roads' not found"})");
}

TEST_F(InfoRoutes, FixedPathsAreNeverTakenForLayers) {
  const auto layers = json::parse(svc.get("/gis/layers/").body);
  EXPECT_EQ(layers["status_code"], 200);
  EXPECT_EQ(layers["data"]["total_layers"], 5);
  EXPECT_EQ(layers["data"]["layers"]["plots"]["endpoints"]["xyz"], "/gis/plots/{z}/{x}/{y}.pbf");
  const auto health = json::parse(svc.get("/gis/health/").body);
  EXPECT_EQ(health["status"], "healthy");
  EXPECT_EQ(health["cache_status"], "healthy");
  EXPECT_EQ(health["available_layers"].size(), 5u);
}

TEST_F(InfoRoutes, ZoomInformation) {
  const auto r = svc.get("/gis/beacons/zoom-info/");
  ASSERT_EQ(r.status, 200u);
  const auto data = json::parse(r.body)["data"];
  EXPECT_EQ(data["min_zoom"], 12);
  EXPECT_EQ(data["zoom_levels"]["11"], json({{"available", false}}));
  EXPECT_EQ(data["zoom_levels"]["12"]["simplification"], "moderate");
  EXPECT_EQ(data["zoom_levels"]["20"]["feature_limit"], 15000);
  EXPECT_EQ(svc.get("/gis/Plots/zoom-info/").status, 404u);
}

TEST_F(InfoRoutes, ApiDescriptionIsNotPartOfTheModule) {
  // The module answers only under /gis; the host owns everything else.
  EXPECT_EQ(svc.get("/openapi.json").status, 404u);
}

}  // namespace
}  // namespace tile_test
