#include <gtest/gtest.h>

#include <string>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/centroid.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"

namespace tg = mapsvc::tile_gateway;
using ojson = nlohmann::ordered_json;

TEST(CentroidSql, UsesBareTableAndColumnNames) {
  EXPECT_EQ(tg::centroid_sql(*tg::LAYER_CONFIG().find("cadzones")),
            "\n"
            "        WITH layer_stats AS (\n"
            "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.\n"
            "            -- This is significantly more performant than ST_Extent on large tables.\n"
            "            SELECT ST_EstimatedExtent('CadZones', 'geometry_3857') as bbox\n"
            "        )\n"
            "        SELECT\n"
            "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)\n"
            "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
            "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
            "            \n"
            "            -- Extract the coordinates of the estimated bounding box\n"
            "            ST_XMin(bbox) as extent_minx,\n"
            "            ST_YMin(bbox) as extent_miny,\n"
            "            ST_XMax(bbox) as extent_maxx,\n"
            "            ST_YMax(bbox) as extent_maxy\n"
            "        FROM layer_stats\n"
            "        -- Ensure we don't proceed if the extent could not be calculated\n"
            "        WHERE bbox IS NOT NULL\n"
            "    ");
  const std::string plots = tg::centroid_sql(*tg::LAYER_CONFIG().find("plots"));
  EXPECT_NE(plots.find("ST_EstimatedExtent('PLOT', 'GEOMETRY_3857')"), std::string::npos);
  tg::layer_record odd{R"(""x"")", "", R"("")", {}, 0};  // every surrounding quote goes
  EXPECT_NE(tg::centroid_sql(odd).find("ST_EstimatedExtent('x', '')"), std::string::npos);
}

TEST(CentroidResponse, IsBuiltInOrderAndCachedAsPythonJsonText) {
  const ojson tile = {{"z", 16}, {"x", 35114}, {"y", 31100}};
  const ojson tile_bbox = {{"minx", 823599.8269519806},
                           {"miny", 1014432.5745515823},
                           {"maxx", 824211.3232015818},
                           {"maxy", 1015044.0708011836}};
  const tg::centroid_row row{9.0765, 7.398574, 800000.0, 1000000.5, 870000.25, 1e16};
  const ojson data = tg::centroid_response_data("plots", row, tile, tile_bbox, *tg::LAYER_CONFIG().find("plots"));
  // python3: json.dumps of the same dict
  EXPECT_EQ(tg::python_json_dumps(data),
            R"({"layer": "plots", "centroid_wgs84": {"latitude": 9.0765, "longitude": 7.398574}, )"
            R"("extent_web_mercator": {"minx": 800000.0, "miny": 1000000.5, "maxx": 870000.25, "maxy": 1e+16}, )"
            R"("suggested_tile": {"z": 16, "x": 35114, "y": 31100}, "suggested_tile_bbox": {"minx": 823599.8269519806, )"
            R"("miny": 1014432.5745515823, "maxx": 824211.3232015818, "maxy": 1015044.0708011836}, )"
            R"("tile_url": "/gis/plots/16/35114/31100.pbf", "layer_config": {"min_zoom": 8, "properties": )"
            R"(["\"ID\"", "\"PLOT_NO\"", "\"STATUS\"", "\"AREA_SYSTEM\"", "\"GENERAL_LU\"", "\"CADZONE\"", )"
            R"("\"DETAIL_LU\"", "\"file_no\""]}})");
  // The cached text reads back to the same answer.
  EXPECT_EQ(ojson::parse(tg::python_json_dumps(data)), data);
}

TEST(CentroidResponse, PassesExtraHostMembersThrough) {
  const auto& lgas = *tg::LAYER_CONFIG().find("lgas");
  const ojson tile = {{"z", 16}, {"x", 1}, {"y", 2}, {"quadkey", "0000000000000012"}};
  const ojson data = tg::centroid_response_data("lgas", {0, 0, 0, 0, 0, 0}, tile, ojson::object(), lgas);
  EXPECT_EQ(data["suggested_tile"], tile);
  EXPECT_EQ(data["tile_url"], "/gis/lgas/16/1/2.pbf");
  EXPECT_THROW(tg::centroid_response_data("lgas", {}, ojson{{"z", 16}}, ojson::object(), lgas), ojson::out_of_range);
}
