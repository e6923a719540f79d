#include <gtest/gtest.h>

#include <string>

#include "mapsvc/tile_gateway/errors.hpp"
#include "mapsvc/tile_gateway/tile_sql.hpp"

namespace tg = mapsvc::tile_gateway;

// Expected statements are written out in full: any stray space or line break changes them.
struct sql_case {
  std::string layer;
  std::int64_t zoom;
  tg::zoom_config config;
  std::string sql;
};

void PrintTo(const sql_case& c, std::ostream* os) { *os << c.layer << "@" << c.zoom; }

class TileSql : public testing::TestWithParam<sql_case> {};

TEST_P(TileSql, WritesTheWholeStatementAndReturnsItsConfiguration) {
  const auto& c = GetParam();
  const auto [sql, config] = tg::generate_mvt_sql(c.layer, c.zoom);
  EXPECT_EQ(sql, c.sql);
  EXPECT_EQ(config, c.config);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, TileSql,
    testing::Values(
        sql_case{"plots", 15, {0, 3000, 8, 1800},
                 "\n"
                 "    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt\n"
                 "    FROM (\n"
                 "        SELECT \"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", "
                 "\"DETAIL_LU\", \"file_no\",\n"
                 "            \"ID\" AS feature_id,\n"
                 "            ST_AsMVTGeom(\n"
                 "                \"GEOMETRY_3857\",\n"
                 "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
                 "                4096,\n"
                 "                8,\n"
                 "                true\n"
                 "            ) AS mvt_geom\n"
                 "        FROM \"PLOT\"\n"
                 "        WHERE \n"
                 "        \"GEOMETRY_3857\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                 "        AND ST_Intersects(\"GEOMETRY_3857\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
                 "        \n"
                 "        ORDER BY ST_Area(\"GEOMETRY_3857\") DESC, \"ID\"\n"
                 "        LIMIT 3000\n"
                 "    ) AS mvt_data\n"
                 "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
                 "    "},
        sql_case{"lgas", 3, {2000, 1000, 512, 7200},
                 "\n"
                 "    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt\n"
                 "    FROM (\n"
                 "        SELECT \"id\", \"name\",\n"
                 "            \"id\" AS feature_id,\n"
                 "            ST_AsMVTGeom(\n"
                 "                ST_Simplify(\"geometry_3857\", 2000),\n"
                 "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
                 "                4096,\n"
                 "                512,\n"
                 "                true\n"
                 "            ) AS mvt_geom\n"
                 "        FROM \"LGAs\"\n"
                 "        WHERE \"geometry_3857\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                 "        ORDER BY ST_Area(\"geometry_3857\") DESC, \"id\"\n"
                 "        LIMIT 1000\n"
                 "    ) AS mvt_data\n"
                 "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
                 "    "},
        sql_case{"cadzones", 7, {500, 3000, 256, 7200},
                 "\n"
                 "    SELECT ST_AsMVT(mvt_data, 'cadzones', 4096, 'mvt_geom') AS mvt\n"
                 "    FROM (\n"
                 "        SELECT \"id\", \"name\", \"district_id\",\n"
                 "            \"id\" AS feature_id,\n"
                 "            ST_AsMVTGeom(\n"
                 "                ST_SimplifyPreserveTopology(\"geometry_3857\", 500),\n"
                 "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
                 "                4096,\n"
                 "                256,\n"
                 "                true\n"
                 "            ) AS mvt_geom\n"
                 "        FROM \"CadZones\"\n"
                 "        WHERE \n"
                 "        \"geometry_3857\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                 "        AND ST_Intersects(\"geometry_3857\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
                 "        \n"
                 "        ORDER BY ST_Area(\"geometry_3857\") DESC, \"id\"\n"
                 "        LIMIT 3000\n"
                 "    ) AS mvt_data\n"
                 "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
                 "    "}));

TEST(TileSql, OtherBandsAndTheZoomlessStatement) {
  const auto has = [](std::string_view layer, std::optional<std::int64_t> zoom, std::string_view part) {
    return tg::generate_mvt_sql(layer, zoom).first.find(part) != std::string::npos;
  };
  EXPECT_TRUE(has("plots", 8, "ST_SimplifyPreserveTopology(\"GEOMETRY_3857\", 500)"));
  // Zoom 0 takes the settings of zoom 10 but the low-zoom geometry and filter.
  EXPECT_EQ(tg::generate_mvt_sql("cadzones", 0).second, (tg::zoom_config{500, 1200, 256, 7200}));
  EXPECT_TRUE(has("cadzones", 0, "ST_Simplify(\"geometry_3857\", 500)"));
  EXPECT_FALSE(has("cadzones", 0, "ST_Intersects"));
  // The deepest band's limit equals the global cap; the geometry is left alone.
  EXPECT_TRUE(has("beacons", 20, "LIMIT 15000\n"));
  EXPECT_TRUE(has("beacons", 20, "ST_AsMVTGeom(\n                \"GEOMETRY_3857\",\n                ST_MakeEnvelope"));
  EXPECT_EQ(tg::generate_mvt_sql("cadzones", std::nullopt), tg::generate_mvt_sql("cadzones", 10));
}

TEST(TileSql, RefusesUnknownLayersAndZoomsBelowTheMinimum) {
  const auto message_of = [](std::string_view layer, std::optional<std::int64_t> zoom) -> std::string {
    try {
      tg::generate_mvt_sql(layer, zoom);
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message_of("plots", 7), "Layer plots not available at zoom level 7");
  EXPECT_EQ(message_of("beacons", std::nullopt), "Layer beacons not available at zoom level 10");
  EXPECT_EQ(message_of("cadzones", -1), "Layer cadzones not available at zoom level -1");
  EXPECT_EQ(message_of("roads", 15), "Unknown layer: roads");
  EXPECT_EQ(message_of("x'; DROP TABLE \"PLOT\"; --", 15), "Unknown layer: x'; DROP TABLE \"PLOT\"; --");
  EXPECT_THROW(tg::generate_mvt_sql("roads", 15), tg::unknown_layer_error);
  EXPECT_THROW(tg::generate_mvt_sql("plots", 7), tg::zoom_unavailable_error);
}
