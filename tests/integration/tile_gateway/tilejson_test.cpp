// TileJSON documents: URLs clients can use as they are, zooms, extent and typed fields.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support.hpp"

namespace tile_test {
namespace {

using json = nlohmann::json;

class TileJson : public ::testing::Test {
 protected:
  void SetUp() override { redis.flushdb(); }
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(TileJson, LayerDocumentFromTheCatalogueAndTheDatabase) {
  service svc;
  const auto r = svc.get("/gis/plots/tilejson.json");
  ASSERT_EQ(r.status, 200u) << r.body;
  const auto doc = json::parse(r.body);
  EXPECT_EQ(doc["tilejson"], "3.0.0");
  EXPECT_EQ(doc["tiles"], json::array({"http://127.0.0.1/gis/plots/{z}/{x}/{y}.pbf"}));
  EXPECT_EQ(doc["minzoom"], 8);
  EXPECT_EQ(doc["maxzoom"], 20);
  const auto& layer = doc["vector_layers"].at(0);
  EXPECT_EQ(layer["id"], "plots");  // the layer's name inside its tiles
  EXPECT_EQ(layer["fields"], json::parse(R"({"ID":"Number","PLOT_NO":"String","STATUS":"String","AREA_SYSTEM":"Number",
      "GENERAL_LU":"String","CADZONE":"String","DETAIL_LU":"String","file_no":"String","feature_id":"Number"})"));
  // Bounds around the fixture's plots, from the same cached extent as the centroid route.
  const auto& b = doc["bounds"];
  ASSERT_EQ(b.size(), 4u);
  EXPECT_LT(b[0].get<double>(), 7.49);
  EXPECT_GT(b[2].get<double>(), 7.49);
  EXPECT_LT(b[1].get<double>(), 9.05);
  EXPECT_GT(b[3].get<double>(), 9.05);
  EXPECT_TRUE(redis.get("mvt_v8:centroid:plots"));
  EXPECT_EQ(doc["center"].size(), 3u);
  EXPECT_NE(r.headers.at("vary").find("X-Forwarded-Host"), std::string::npos);
}

TEST_F(TileJson, CompositeDocumentAndLayersWithoutStatistics) {
  service svc;
  const auto doc = json::parse(svc.get("/gis/districts,lgas/tilejson.json").body);
  EXPECT_EQ(doc["tiles"][0], "http://127.0.0.1/gis/districts,lgas/{z}/{x}/{y}.pbf");
  EXPECT_EQ(doc["minzoom"], 2);
  ASSERT_EQ(doc["vector_layers"].size(), 2u);
  EXPECT_EQ(doc["vector_layers"][0]["minzoom"], 3);
  EXPECT_EQ(doc["vector_layers"][1]["fields"], json::parse(R"({"id":"Number","name":"String","feature_id":"Number"})"));
  EXPECT_TRUE(doc.contains("bounds"));  // from lgas; districts has no extent estimate

  const auto only_districts = json::parse(svc.get("/gis/districts/tilejson.json").body);
  EXPECT_FALSE(only_districts.contains("bounds"));  // the whole world, by TileJSON's default
  EXPECT_EQ(svc.get("/gis/parcels/tilejson.json").body, R"({"detail":"Layer 'parcels' not found"})");
  EXPECT_EQ(svc.get("/gis/lgas,lgas/tilejson.json").status, 400u);
}

TEST_F(TileJson, UrlsFromProxyHeadersOrTheConfiguredAddress) {
  service svc;
  const auto proxied = json::parse(svc.request("GET", "/gis/lgas/tilejson.json",
                                               {{"X-Forwarded-Proto", "https"}, {"X-Forwarded-Host", "maps.example.org"}})
                                       .body);
  EXPECT_EQ(proxied["tiles"][0], "https://maps.example.org/gis/lgas/{z}/{x}/{y}.pbf");
  const auto forged = json::parse(
      svc.request("GET", "/gis/lgas/tilejson.json", {{"X-Forwarded-Host", "evil.example/\"><script>"}}).body);
  EXPECT_EQ(forged["tiles"][0], "http://127.0.0.1/gis/lgas/{z}/{x}/{y}.pbf");

  service_options options;
  options.public_url = "https://tiles.example.org/base";
  service configured(options);
  const auto r = configured.request("GET", "/gis/lgas/tilejson.json", {{"X-Forwarded-Host", "other.example"}});
  EXPECT_EQ(json::parse(r.body)["tiles"][0], "https://tiles.example.org/base/gis/lgas/{z}/{x}/{y}.pbf");
  EXPECT_FALSE(r.has("vary"));
}

}  // namespace
}  // namespace tile_test
