#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/messages.hpp"

namespace tg = mapsvc::tile_gateway;

TEST(LayerSuggestions, OnlyAtLowZoomsAndOnlyLayersServedThere) {
  EXPECT_EQ(tg::try_layers_message(5), "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas']");
  EXPECT_EQ(tg::try_layers_message(6), "Try these layers at zoom 6: ['cadzones', 'districts', 'lgas']");
  EXPECT_EQ(tg::try_layers_message(2), "Try these layers at zoom 2: ['lgas']");
  EXPECT_EQ(tg::try_layers_message(1), std::nullopt) << "nothing is served at zoom 1";
  EXPECT_EQ(tg::try_layers_message(7), std::nullopt);
  EXPECT_EQ(tg::layers_available_at(12), (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas"}));
}

TEST(InvalidationText, NamesTheValidLayersInCatalogueOrder) {
  EXPECT_EQ(tg::invalidation_unknown_layer_detail("All"),
            "Layer 'All' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas']");
  EXPECT_EQ(tg::layer_invalidated_message("plots", 0),
            "Cache for layer 'plots' invalidated successfully. 0 keys deleted.");
  EXPECT_EQ(tg::all_invalidated_message(12), "All cache invalidated successfully. 12 keys deleted.");
  EXPECT_EQ(tg::pattern_invalidation_log("plots:18:*", 3),
            "Background task: Invalidated 3 cache entries matching pattern 'plots:18:*'");
}

TEST(CacheKeys, KeysAndMatchPatterns) {
  EXPECT_EQ(tg::tile_cache_key("plots", 15, 17000, 15000), "plots:15:17000:15000");
  // Written in place, a key reads the same, however long the layer's name; the buffer is reused.
  tg::tile_key_buffer buffer;
  const std::string long_name(200, 'l');
  EXPECT_EQ(tg::tile_cache_key(buffer, long_name, 20, 1048575, 0), tg::tile_cache_key(long_name, 20, 1048575, 0));
  EXPECT_EQ(tg::tile_cache_key(buffer, "plots", 15, 17000, 15000), "plots:15:17000:15000");
  EXPECT_EQ(tg::centroid_cache_key("plots"), "centroid:plots");
  EXPECT_EQ(tg::layer_match_pattern(tg::CACHE_NAMESPACE, "plots"), "mvt_v8:plots:*");
  EXPECT_EQ(tg::namespace_match_pattern(tg::CACHE_NAMESPACE), "mvt_v8:*");
  EXPECT_EQ(tg::custom_match_pattern(tg::CACHE_NAMESPACE, "plots:18:*"), "mvt_v8:plots:18:*");
}

TEST(EndpointText, DetailsQuoteTheRequest) {
  EXPECT_EQ(tg::layer_not_found_detail("roads"), "Layer 'roads' not found");
  EXPECT_EQ(tg::invalid_tile_detail("3", "-1", "8"), "Invalid tile coordinates: z=3, x=-1, y=8");
  EXPECT_EQ(tg::no_valid_geometry_message("lgas"), "No valid geometry found for layer 'lgas'");
}

// Quoted identifiers per layer are proven by the exact SQL texts; here only order and lookup.
TEST(Catalogue, ListsTheFiveLayersInOrderAndLooksUpExactly) {
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
  for (const char* key : {"Plots", "plot", "", "plots ", "all"}) EXPECT_FALSE(tg::LAYER_CONFIG().contains(key)) << key;
}
