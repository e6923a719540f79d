// Vector tiles for an arbitrary box in EPSG:4326 or EPSG:3857.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "support.hpp"

namespace tile_test {
namespace {

class BoxTiles : public ::testing::Test {
 protected:
  void SetUp() override { redis.flushdb(); }

  // The data tile's box in EPSG:3857, as query parameters.
  static std::string mercator_query(double shrink = 0) {
    const auto t = data_tile();
    const auto b = host::helpers::bounds_of(t.z, t.x, t.y);
    return fmt::format("minx={}&miny={}&maxx={}&maxy={}&srid=3857", b.minx + shrink, b.miny + shrink,
                       b.maxx - shrink, b.maxy - shrink);
  }

  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

TEST_F(BoxTiles, WebMercatorBoxMissThenHit) {
  const auto miss = svc.get("/gis/plots/bbox/?" + mercator_query());
  ASSERT_EQ(miss.status, 200u) << miss.body;
  EXPECT_EQ(miss.headers.at("x-cache"), "MISS");
  EXPECT_EQ(miss.headers.at("cache-control"), "public, max-age=1800");
  const auto layers = decode_mvt(miss.body);
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0].features.size(), 3u);

  const auto keys = redis.keys("mvt_v8:bbox:plots:*");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_TRUE(keys[0].ends_with(":5000:True")) << keys[0];

  const auto hit = svc.get("/gis/plots/bbox/?" + mercator_query());
  EXPECT_EQ(hit.headers.at("x-cache"), "HIT");
  EXPECT_EQ(hit.body, miss.body);
}

TEST_F(BoxTiles, Wgs84BoxIsTransformedInTheDatabase) {
  const auto r = svc.get("/gis/plots/bbox/?minx=7.45&miny=9.0&maxx=7.55&maxy=9.1&max_features=2");
  ASSERT_EQ(r.status, 200u) << r.body;
  const auto layers = decode_mvt(r.body);
  ASSERT_EQ(layers.size(), 1u);
  ASSERT_EQ(layers[0].features.size(), 2u);
  EXPECT_EQ(layers[0].features[0].at("PLOT_NO"), "A-1");  // the largest come first
  EXPECT_EQ(layers[0].features[1].at("PLOT_NO"), "A-2");
  const auto keys = redis.keys("mvt_v8:bbox:*");
  ASSERT_EQ(keys.size(), 1u);
  const double metres_per_degree = host::helpers::WEB_MERCATOR_HALF_WORLD / 180.0;
  EXPECT_TRUE(keys[0].starts_with(fmt::format("mvt_v8:bbox:plots:{:.0f}:", 7.45 * metres_per_degree))) << keys[0];
  EXPECT_TRUE(keys[0].ends_with(":2:True")) << keys[0];
}

TEST_F(BoxTiles, ChecksAndTheirMessages) {
  auto detail = [&](const std::string& query) {
    const auto r = svc.get("/gis/plots/bbox/?" + query);
    return std::to_string(r.status) + " " + r.body;
  };
  EXPECT_EQ(detail("minx=0&miny=0&maxx=1&maxy=1&srid=2100"),
            R"(400 {"detail":"Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"})");
  EXPECT_EQ(svc.get("/gis/nope/bbox/?minx=0&miny=0&maxx=1&maxy=1&srid=2100").status, 404u);
  EXPECT_EQ(detail("minx=-181&miny=0&maxx=1&maxy=1"), R"(400 {"detail":"Invalid longitude values"})");
  EXPECT_EQ(detail("minx=0&miny=0&maxx=1&maxy=nan"), R"(400 {"detail":"Invalid latitude values"})");
  EXPECT_EQ(detail("minx=0&miny=0&maxx=1&maxy=1.0000001"),
            R"(400 {"detail":"Bounding box too large. Maximum area: 1.0 square degrees"})");
  EXPECT_EQ(svc.get("/gis/plots/bbox/?miny=0&maxx=1&maxy=1").status, 422u);
}

TEST_F(BoxTiles, FeatureLimitsAtTheEdges) {
  EXPECT_EQ(svc.get("/gis/plots/bbox/?" + mercator_query() + "&max_features=0").status, 204u);
  const auto negative = svc.get("/gis/plots/bbox/?" + mercator_query() + "&max_features=-1");
  EXPECT_EQ(negative.status, 422u);
  EXPECT_EQ(negative.body,
            R"({"detail":[{"type":"greater_than_equal","loc":["query","max_features"],)"
            R"("msg":"Input should be greater than or equal to 0","input":"-1"}]})");
  EXPECT_EQ(svc.get("/gis/plots/bbox/?" + mercator_query() + "&max_features=20000").status, 200u);
  const auto keys = redis.keys("mvt_v8:bbox:*");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_TRUE(keys[0].ends_with(":15000:True")) << keys[0];
  EXPECT_EQ(svc.get("/gis/plots/bbox/?" + mercator_query() + "&max_features=15000").headers.at("x-cache"), "HIT");
}

TEST_F(BoxTiles, EmptyBoxIs204AndNotStored) {
  const auto r = svc.get("/gis/plots/bbox/?minx=100&miny=100&maxx=200&maxy=200&srid=3857");
  EXPECT_EQ(r.status, 204u);
  EXPECT_TRUE(redis.keys("mvt_v8:*").empty());
}

}  // namespace
}  // namespace tile_test
