#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "mapsvc/tile_gateway/bbox.hpp"
#include "mapsvc/tile_gateway/errors.hpp"

namespace tg = mapsvc::tile_gateway;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

struct key_case {
  double minx, miny, maxx, maxy;
  std::string expected;
};

class BboxCacheKey : public testing::TestWithParam<key_case> {};

TEST_P(BboxCacheKey, RoundsCornersToWholeMetresLikePython) {
  const auto& c = GetParam();
  EXPECT_EQ(tg::bbox_cache_key("plots", c.minx, c.miny, c.maxx, c.maxy, 5000, true), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Corners, BboxCacheKey,
    testing::Values(key_case{100.4, 200.6, 300, 400, "bbox:plots:100:201:300:400:5000:True"},
                    key_case{0.5, 1.5, 2.5, -1.5, "bbox:plots:0:2:2:-2:5000:True"},  // ties to even
                    key_case{-0.4, -0.5, 0.0, -0.0, "bbox:plots:-0:-0:0:-0:5000:True"},
                    key_case{100.2, 100.4, 0.49999999999999994, 1e15 + 0.5,
                             "bbox:plots:100:100:0:1000000000000000:5000:True"},
                    key_case{NaN, -NaN, INF, -INF, "bbox:plots:nan:nan:inf:-inf:5000:True"}));

TEST(BboxCacheKey, CarriesTheLimitAndTheSimplifyFlag) {
  EXPECT_EQ(tg::bbox_cache_key("lgas", 1, 2, 3, 4, tg::clamp_max_features(20000), false),
            "bbox:lgas:1:2:3:4:15000:False");
  EXPECT_EQ(tg::bbox_cache_key("lgas", 1, 2, 3, 4, tg::clamp_max_features(-3), true), "bbox:lgas:1:2:3:4:-3:True");
  EXPECT_EQ(tg::clamp_max_features(15000), 15000);
  EXPECT_EQ(tg::clamp_max_features(0), 0);
  // DBL_MAX written in full, not truncated.
  EXPECT_EQ(tg::bbox_cache_key("lgas", std::numeric_limits<double>::max(), 0, 0, 0, 1, true).size(),
            std::string("bbox:lgas:").size() + 309 + std::string(":0:0:0:1:True").size());
}

struct check_case {
  std::int64_t srid;
  double minx, miny, maxx, maxy;
  std::optional<std::string> detail;
};

class BboxChecks : public testing::TestWithParam<check_case> {};

TEST_P(BboxChecks, ReportTheFirstFailingCheck) {
  const auto& c = GetParam();
  EXPECT_EQ(tg::check_bbox_request(c.srid, c.minx, c.miny, c.maxx, c.maxy), c.detail);
}

const std::string SRID = "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported";
const std::string LON = "Invalid longitude values";
const std::string LAT = "Invalid latitude values";
const std::string AREA = "Bounding box too large. Maximum area: 1.0 square degrees";

INSTANTIATE_TEST_SUITE_P(
    Requests, BboxChecks,
    testing::Values(check_case{4326, 3.0, 6.0, 3.5, 6.5, std::nullopt},
                    check_case{4326, 0, 0, 1, 1, std::nullopt},      // exactly the limit
                    check_case{4326, 1, 1, 0, 0, std::nullopt},      // corners swapped
                    check_case{4326, 0, 0, 1.0000001, 1, AREA},
                    check_case{4326, -180, 0, 180, 1.0 / 360, std::nullopt},
                    check_case{4326, -180, 0, 180, 0.01, AREA},
                    check_case{4326, -180.5, 0, 0, 0, LON}, check_case{4326, 0, 0, 180.1, 0, LON},
                    check_case{4326, 0, -90.5, 0, 0, LAT}, check_case{4326, 0, 0, 0, 91, LAT},
                    check_case{4326, 500, 500, 0, 0, LON},  // longitude before latitude
                    check_case{4326, NaN, 0, 0, 0, LON}, check_case{4326, 0, 0, 0, NaN, LAT},
                    check_case{4326, 0, 0, INF, 0, LON},
                    check_case{3857, -1e9, -1e9, 1e9, 1e9, std::nullopt},  // no limits in metres
                    check_case{3857, NaN, 0, 0, 0, std::nullopt},
                    check_case{900913, 0, 0, 1, 1, SRID}, check_case{0, 500, 0, 0, 0, SRID}));

TEST(BboxSimplification, OnlyForLargeWgs84BoxesWhenAsked) {
  EXPECT_TRUE(tg::should_simplify_bbox(true, 4326, 3.0, 6.0, 3.5, 6.5));
  EXPECT_TRUE(tg::should_simplify_bbox(true, 4326, 0, 0, 0.1, 0.1000001));
  EXPECT_FALSE(tg::should_simplify_bbox(true, 4326, 0, 0, 1, 0.01)) << "0.01 is not above the threshold";
  EXPECT_FALSE(tg::should_simplify_bbox(true, 4326, 0, 0, 0.01, 0.01));
  EXPECT_FALSE(tg::should_simplify_bbox(false, 4326, 3.0, 6.0, 3.5, 6.5));
  EXPECT_FALSE(tg::should_simplify_bbox(true, 3857, 0, 0, 1e6, 1e6));
}

TEST(BboxSql, TransformQueryText) {
  EXPECT_EQ(tg::BBOX_TRANSFORM_SQL,
            "\n"
            "            SELECT \n"
            "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,\n"
            "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y\n"
            "            FROM (\n"
            "                SELECT ST_Transform(\n"
            "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857\n"
            "                ) as bbox_3857\n"
            "            ) as sub\n"
            "        ");
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
            "        ORDER BY ST_Area(\"geometry_3857\") DESC\n"
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
