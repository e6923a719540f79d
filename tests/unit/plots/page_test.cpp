// Page calibration: the scale, the ground window, the page size and the text size.

#include "page.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

namespace {

using namespace plots_test;

const std::vector<pl::point> field = {{335000, 1005000}, {335150, 1005000}, {335150, 1005090}, {335000, 1005090}};

json one_parcel() { return json::array({parcel(7, field, boundary_of(field))}); }

json box(double minx, double miny, double maxx, double maxy, json srid = 26332) {
  return {{"minx", minx}, {"maxx", maxx}, {"miny", miny}, {"maxy", maxy}, {"srid", srid}};
}

TEST(ParcelPage, ShowsTheFullPageAreaAtScaleAroundTheCentroid) {
  const auto page = layout(one_parcel(), 7).page;
  EXPECT_EQ(page.scale, 1000);
  EXPECT_DOUBLE_EQ(page.target_width_mm, 265.92);
  EXPECT_DOUBLE_EQ(page.target_height_mm, 152);
  EXPECT_NEAR(page.width_in, 10.4693, 1e-4);
  EXPECT_NEAR(page.height_in, 5.9843, 1e-4);
  EXPECT_NEAR(page.window.xmin, 335075 - 132.96, 1e-6);
  EXPECT_NEAR(page.window.xmax, 335075 + 132.96, 1e-6);
  EXPECT_NEAR(page.window.ymin, 1005045 - 76, 1e-6);
  EXPECT_NEAR(page.window.ymax, 1005045 + 76, 1e-6);
  EXPECT_DOUBLE_EQ(page.norm, 1);
  EXPECT_EQ(page.fontsize, 8);
}

TEST(ParcelPage, FontShrinksOnePointPerDoublingDownToFour) {
  const std::pair<int, int> cases[] = {{250, 10}, {500, 9}, {1000, 8}, {2000, 7}, {5000, 6}, {7500, 5}, {10000, 5},
                                       {20000, 4}, {38000, 4}};
  for (const auto& [scale, size] : cases) EXPECT_EQ(printsvc::plots::detail::font_size_for_scale(scale), size) << scale;
}

TEST(BoxPage, AWideBoxTakesTheFullWidthANarrowOneTheFullHeight) {
  auto page = layout(one_parcel(), 7, nullptr, box(334900, 1004950, 335400, 1005050)).page;
  EXPECT_DOUBLE_EQ(page.target_width_mm, 265.92);
  EXPECT_DOUBLE_EQ(page.target_height_mm, 265.92 / 5);
  EXPECT_EQ(page.window.xmin, 334900);
  EXPECT_EQ(page.window.ymax, 1005050);
  EXPECT_EQ(page.scale, 2000);  // 500 m does not fit 265.92 mm at 1:1000
  EXPECT_EQ(page.fontsize, 7);
  // The system code may come as text.
  page = layout(one_parcel(), 7, nullptr, box(335000, 1004900, 335100, 1005100, "26332")).page;
  EXPECT_DOUBLE_EQ(page.target_height_mm, 152);
  EXPECT_DOUBLE_EQ(page.target_width_mm, 76);
  EXPECT_NEAR(page.window.xmin, 335000, 1e-6);
  EXPECT_NEAR(page.window.ymax, 1005100, 1e-6);
}

TEST(BoxPage, GeographicCornersAreReadLongitudeFirst) {
  // 0.01 degree square near Abuja; swapped axes would land far outside UTM 32N's Abuja range.
  const auto page = layout(one_parcel(), 7, nullptr, box(7.49, 9.07, 7.50, 9.08, 4326)).page;
  EXPECT_GT(page.window.xmin, 330000);
  EXPECT_LT(page.window.xmax, 340000);
  EXPECT_GT(page.window.ymin, 1000000);
  EXPECT_LT(page.window.ymax, 1010000);
  EXPECT_NEAR(page.window.xmax - page.window.xmin, 1099, 5);
  EXPECT_NEAR(page.window.ymax - page.window.ymin, 1106, 5);
}

TEST(BoxPage, AnIncompleteBoxMeansParcelMode) {
  json partial = box(0, 0, 10, 10);
  partial.erase("srid");
  for (const json& bb : {partial, json::object(), json(nullptr), json("box")}) {
    const auto page = layout(one_parcel(), 7, nullptr, bb).page;
    EXPECT_NEAR(page.window.xmin, 335075 - 132.96, 1e-6) << bb.dump();
  }
}

TEST(BoxPage, RefusesEmptyBoxesAndUnknownSystems) {
  for (const json& bb : {box(10, 0, 10, 5), box(0, 5, 10, 5), box(10, 0, 0, 5)}) {
    try {
      layout(one_parcel(), 7, nullptr, bb);
      ADD_FAILURE() << bb.dump();
    } catch (const pl::plan_input_error& e) {
      EXPECT_STREQ(e.what(), "Bounding box dimensions must be positive.");
    }
  }
  json text_bound = box(0, 0, 1, 1);
  text_bound["minx"] = "0";
  for (const json& bb : {box(0, 0, 1, 1, 999999), box(0, 0, 1, 1, 4326.5), text_bound})
    EXPECT_THROW(layout(one_parcel(), 7, nullptr, bb), pl::plan_input_error) << bb.dump();
}

}  // namespace
