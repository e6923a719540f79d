#include <gtest/gtest.h>

#include "mapsvc/tile_gateway/layer_info.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"

namespace tg = mapsvc::tile_gateway;
using ojson = nlohmann::ordered_json;

TEST(ZoomInfo, ReportsZoomsOneToTwentyForALayer) {
  EXPECT_FALSE(tg::zoom_info_data("Plots").has_value());
  const auto data = tg::zoom_info_data("beacons");
  ASSERT_TRUE(data.has_value());
  // python3: json.dumps of the answer built from the catalogue and the zoom bands
  EXPECT_EQ(
      tg::python_json_dumps(*data),
      R"({"layer": "beacons", "min_zoom": 12, "zoom_levels": {"1": {"available": false}, "2": {"available": false}, )"
      R"("3": {"available": false}, "4": {"available": false}, "5": {"available": false}, "6": {"available": false}, )"
      R"("7": {"available": false}, "8": {"available": false}, "9": {"available": false}, "10": {"available": false}, )"
      R"("11": {"available": false}, "12": {"available": true, "tolerance": 500, "feature_limit": 1500, )"
      R"("simplification": "moderate"}, "13": {"available": true, "tolerance": 0, "feature_limit": 1500, )"
      R"("simplification": "none"}, "14": {"available": true, "tolerance": 0, "feature_limit": 1500, )"
      R"("simplification": "none"}, "15": {"available": true, "tolerance": 0, "feature_limit": 3000, )"
      R"("simplification": "none"}, "16": {"available": true, "tolerance": 0, "feature_limit": 3000, )"
      R"("simplification": "none"}, "17": {"available": true, "tolerance": 0, "feature_limit": 15000, )"
      R"("simplification": "none"}, "18": {"available": true, "tolerance": 0, "feature_limit": 15000, )"
      R"("simplification": "none"}, "19": {"available": true, "tolerance": 0, "feature_limit": 15000, )"
      R"("simplification": "none"}, "20": {"available": true, "tolerance": 0, "feature_limit": 15000, )"
      R"("simplification": "none"}}, "recommendations": {"world_view": "Use 'lgas' or 'districts' for zoom 1-6", )"
      R"("regional_view": "Use 'cadzones' for zoom 4-10", "detailed_view": "Use 'plots' for zoom 8+", )"
      R"("precise_view": "Use 'beacons' for zoom 12+"}})");
  EXPECT_EQ((*tg::zoom_info_data("lgas"))["zoom_levels"]["2"]["simplification"], "heavy");
}

TEST(LayerList, ListsEveryLayerWithItsEndpoints) {
  const ojson data = tg::layers_data();
  std::vector<std::string> top_keys, names;
  for (const auto& [key, value] : data.items()) top_keys.push_back(key);
  for (const auto& [key, value] : data["layers"].items()) names.push_back(key);
  EXPECT_EQ(top_keys, (std::vector<std::string>{"layers", "total_layers", "usage_guide"}));
  EXPECT_EQ(names, (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas"}));
  EXPECT_EQ(tg::python_json_dumps(data["layers"]["lgas"]),
            R"({"name": "lgas", "min_zoom": 2, "properties": ["\"id\"", "\"name\""], "table": "\"LGAs\"", )"
            R"("endpoints": {"xyz": "/gis/lgas/{z}/{x}/{y}.pbf", "bbox": "/gis/lgas/bbox/", "info": "/gis/lgas/", )"
            R"("zoom_info": "/gis/lgas/zoom-info/"}})");
  EXPECT_EQ(tg::python_json_dumps(data["usage_guide"]),
            R"({"world_zoom_1_4": "Use 'lgas' layer", "country_zoom_5_7": "Use 'districts' or 'lgas' layer", )"
            R"("regional_zoom_6_10": "Use 'cadzones' layer", "local_zoom_8_14": "Use 'plots' layer", )"
            R"("detail_zoom_12_20": "Use 'beacons' layer"})");
}

TEST(Health, ReportsTheCacheStateAndTheLayers) {
  EXPECT_EQ(tg::python_json_dumps(tg::health_body(false)),
            R"({"status": "healthy", "cache_status": "unhealthy", )"
            R"("available_layers": ["plots", "beacons", "cadzones", "districts", "lgas"], )"
            R"("zoom_support": "1-20 with layer-specific minimums"})");
  EXPECT_EQ(tg::health_body(true)["cache_status"], "healthy");
}
