#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapsvc/tile_gateway/catalogue.hpp"

namespace tg = mapsvc::tile_gateway;

TEST(Catalogue, ListsTheFiveLayersInOrderWithTheirMinimumZooms) {
  std::vector<std::string> keys;
  std::vector<int> min_zooms;
  for (const auto& [key, layer] : tg::LAYER_CONFIG()) {
    keys.push_back(key);
    min_zooms.push_back(layer.min_zoom);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas"}));
  EXPECT_EQ(min_zooms, (std::vector<int>{8, 12, 4, 3, 2}));
  EXPECT_EQ(tg::LAYER_CONFIG().keys(), keys);
  EXPECT_EQ(&tg::LAYER_CONFIG(), &tg::LAYER_CONFIG()) << "built once";
}

TEST(Catalogue, KeepsQuotedIdentifiers) {
  const tg::layer_record* plots = tg::LAYER_CONFIG().find("plots");
  ASSERT_NE(plots, nullptr);
  EXPECT_EQ(plots->table, "\"PLOT\"");
  EXPECT_EQ(plots->id_col, "\"ID\"");
  EXPECT_EQ(plots->geom_col, "\"GEOMETRY_3857\"");
  EXPECT_EQ(plots->properties.back(), "\"file_no\"");
  EXPECT_EQ(plots->properties.size(), 8u);

  const tg::layer_record* lgas = tg::LAYER_CONFIG().find("lgas");
  ASSERT_NE(lgas, nullptr);
  EXPECT_EQ(lgas->table, "\"LGAs\"");
  EXPECT_EQ(lgas->properties, (std::vector<std::string>{"\"id\"", "\"name\""}));
  EXPECT_EQ(tg::LAYER_CONFIG().find("cadzones")->table, "\"CadZones\"");
  EXPECT_EQ(tg::LAYER_CONFIG().find("beacons")->properties.size(), 4u);
}

TEST(Catalogue, LookupIsExactAndCaseSensitive) {
  for (const char* key : {"Plots", "plot", "", "PLOTS", "plots ", "all"}) EXPECT_FALSE(tg::LAYER_CONFIG().contains(key)) << key;
  EXPECT_TRUE(tg::LAYER_CONFIG().contains("districts"));
}
