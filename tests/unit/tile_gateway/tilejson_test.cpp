// TileJSON documents from catalogue records, extents and column types, without servers.
#include <gtest/gtest.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/tilejson.hpp"

namespace mapsvc::tile_gateway {
namespace {

using json = nlohmann::ordered_json;
constexpr double HALF_WORLD = 20037508.342789244;

TEST(TileJsonDocument, BoundsAreTheUnionOfExtentsInDegrees) {
  std::vector<tilejson_layer> layers(2);
  layers[0] = {"a", 4, json::object(), mercator_extent{0, 0, HALF_WORLD / 2, HALF_WORLD / 2}};
  layers[1] = {"b", 6, json::object(), mercator_extent{-HALF_WORLD / 4, 0, 0, HALF_WORLD}};
  const auto doc = tilejson_document("http://h", "a,b", layers);
  ASSERT_EQ(doc["bounds"].size(), 4u);
  EXPECT_DOUBLE_EQ(doc["bounds"][0].get<double>(), -45.0);
  EXPECT_DOUBLE_EQ(doc["bounds"][1].get<double>(), 0.0);
  EXPECT_DOUBLE_EQ(doc["bounds"][2].get<double>(), 90.0);
  EXPECT_NEAR(doc["bounds"][3].get<double>(), 85.0511288, 1e-7);  // the edge of the Web Mercator world
  EXPECT_EQ(doc["center"], json::array({22.5, 42.5255644, 4}));
}

TEST(TileJsonFields, CatalogueOrderTypedByTheDatabase) {
  const auto& plots = *LAYER_CONFIG().find("plots");
  const auto fields = layer_fields(plots, {{"ID", 'N'}, {"PLOT_NO", 'S'}, {"AREA_SYSTEM", 'N'}, {"STATUS", 'B'}});
  std::vector<std::string> names;
  for (const auto& [name, type] : fields.items()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE",
                                             "DETAIL_LU", "file_no", "feature_id"}));
  EXPECT_EQ(fields["AREA_SYSTEM"], "Number");
  EXPECT_EQ(fields["STATUS"], "Boolean");
  EXPECT_EQ(fields["file_no"], "String");     // not reported by the database
  EXPECT_EQ(fields["feature_id"], "Number");  // the id column's type
  EXPECT_EQ(field_type('D'), "String");       // dates and anything else travel as text
}

}  // namespace
}  // namespace mapsvc::tile_gateway
