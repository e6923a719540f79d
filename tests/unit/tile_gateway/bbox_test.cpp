#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "mapsvc/tile_gateway/bbox.hpp"
#include "mapsvc/tile_gateway/errors.hpp"
#include "mapsvc/tile_gateway/tile_checks.hpp"

namespace tg = mapsvc::tile_gateway;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

TEST(BboxCacheKey, RoundsCornersToWholeMetresLikePython) {
  const std::pair<std::array<double, 4>, const char*> cases[] = {
      {{100.4, 200.6, 300, 400}, "bbox:plots:100:201:300:400:5000:True"},
      {{0.5, 1.5, 2.5, -1.5}, "bbox:plots:0:2:2:-2:5000:True"},  // ties to even
      {{-0.4, -0.5, 0.0, -0.0}, "bbox:plots:-0:-0:0:-0:5000:True"},
      {{100.2, 100.4, 0.49999999999999994, 1e15 + 0.5}, "bbox:plots:100:100:0:1000000000000000:5000:True"},
      {{NaN, -NaN, INF, -INF}, "bbox:plots:nan:nan:inf:-inf:5000:True"}};
  for (const auto& [c, expected] : cases)
    EXPECT_EQ(tg::bbox_cache_key("plots", c[0], c[1], c[2], c[3], 5000, true), expected);
}

TEST(BboxCacheKey, CarriesTheLimitAndTheSimplifyFlag) {
  EXPECT_EQ(tg::bbox_cache_key("lgas", 1, 2, 3, 4, tg::clamp_max_features(20000), false),
            "bbox:lgas:1:2:3:4:15000:False");
  EXPECT_EQ(tg::bbox_cache_key("lgas", 1, 2, 3, 4, tg::clamp_max_features(-3), true), "bbox:lgas:1:2:3:4:-3:True");
  // DBL_MAX written in full, not truncated.
  EXPECT_EQ(tg::bbox_cache_key("lgas", std::numeric_limits<double>::max(), 0, 0, 0, 1, true).size(),
            std::string("bbox:lgas:").size() + 309 + std::string(":0:0:0:1:True").size());
}

TEST(BboxChecks, ReportTheFirstFailingCheck) {
  const std::optional<std::string> OK, SRID = "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported",
                                        LON = "Invalid longitude values", LAT = "Invalid latitude values",
                                        AREA = "Bounding box too large. Maximum area: 1.0 square degrees",
                                        MERCATOR = "Invalid Web Mercator coordinates";
  const std::tuple<std::int64_t, std::array<double, 4>, std::optional<std::string>> cases[] = {
      {4326, {3.0, 6.0, 3.5, 6.5}, OK},     {4326, {0, 0, 1, 1}, OK},  // exactly the limit
      {4326, {0, 1, 1, 0}, OK},             // corners swapped
      {4326, {0, 0, 1.0000001, 1}, AREA},   {4326, {-180, 0, 180, 0.01}, AREA},
      {4326, {-180.5, 0, 0, 0}, LON},       {4326, {0, 0, 0, 91}, LAT},
      {4326, {500, 500, 0, 0}, LON},        // longitude before latitude
      {4326, {NaN, 0, 0, 0}, LON},          {4326, {0, 0, 0, NaN}, LAT},
      {4326, {0, 0, INF, 0}, LON},          {3857, {-1e9, -1e9, 1e9, 1e9}, OK},  // no limits in metres
      {3857, {NaN, 0, 1, 1}, MERCATOR},     {3857, {0, 0, 1, -INF}, MERCATOR},  // but they must be numbers
      {900913, {0, 0, 1, 1}, SRID},         {0, {500, 0, 0, 0}, SRID}};
  for (const auto& [srid, c, detail] : cases)
    EXPECT_EQ(tg::check_bbox_request(srid, c[0], c[1], c[2], c[3]), detail) << srid << " " << c[0] << " " << c[1];
}

TEST(BboxSimplification, OnlyForLargeWgs84BoxesWhenAsked) {
  EXPECT_TRUE(tg::should_simplify_bbox(true, 4326, 3.0, 6.0, 3.5, 6.5));
  EXPECT_TRUE(tg::should_simplify_bbox(true, 4326, 0, 0, 0.1, 0.1000001));
  EXPECT_FALSE(tg::should_simplify_bbox(true, 4326, 0, 0, 1, 0.01)) << "0.01 is not above the threshold";
  EXPECT_FALSE(tg::should_simplify_bbox(false, 4326, 3.0, 6.0, 3.5, 6.5));
  EXPECT_FALSE(tg::should_simplify_bbox(true, 3857, 0, 0, 1e6, 1e6));
}

TEST(BboxSql, TileQueryText) {
  EXPECT_EQ(tg::bbox_tile_sql("cadzones", true),
            "\n"
            "    SELECT ST_AsMVT(mvt_data, 'cadzones', 4096, 'mvt_geom') AS mvt\n"
            "    FROM (\n"
            "        SELECT \"id\", \"name\", \"district_id\",\n"
            "            \"id\" AS feature_id,\n"
            "            ST_AsMVTGeom(\n"
            "                ST_SimplifyPreserveTopology(\"geometry_3857\", 50),\n"
            "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
            "                4096,\n"
            "                32,\n"
            "                true\n"
            "            ) AS mvt_geom\n"
            "        FROM \"CadZones\"\n"
            "        WHERE \"geometry_3857\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
            "            AND ST_Intersects(\"geometry_3857\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
            "        ORDER BY ST_Area(\"geometry_3857\") DESC, \"id\"\n"
            "        LIMIT :max_features\n"
            "    ) AS mvt_data\n"
            "    WHERE mvt_data.mvt_geom IS NOT NULL\n"
            "    ");
  // Unsimplified, only the geometry expression differs.
  std::string plain = tg::bbox_tile_sql("cadzones", true);
  const std::string_view simplified = "ST_SimplifyPreserveTopology(\"geometry_3857\", 50)";
  plain.replace(plain.find(simplified), simplified.size(), "\"geometry_3857\"");
  EXPECT_EQ(tg::bbox_tile_sql("cadzones", false), plain);
  EXPECT_THROW(tg::bbox_tile_sql("roads", false), tg::unknown_layer_error);
}

TEST(TileAddress, IsCheckedAgainstTheGridOfItsZoom) {
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max(), MIN = std::numeric_limits<std::int64_t>::min();
  const std::tuple<std::int64_t, std::int64_t, std::int64_t, bool> cases[] = {
      {1, 1, 1, true},     {20, 1048575, 1048575, true}, {0, 0, 0, false},     {21, 0, 0, false},
      {3, 8, 0, false},    {3, 0, 8, false},             {3, -1, 0, false},    {3, 0, -1, false},
      {20, 1048576, 0, false}, {-5, 0, 0, false},        {64, 0, 0, false},    {MAX, 0, 0, false},
      {MIN, 0, 0, false},  {20, MAX, MAX, false},        {20, MIN, 0, false}};
  for (const auto& [z, x, y, valid] : cases)
    EXPECT_EQ(tg::validate_tile_coords(z, x, y), valid) << z << "/" << x << "/" << y;
}
