#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "mapsvc/tile_gateway/zoom_policy.hpp"

namespace tg = mapsvc::tile_gateway;

struct zoom_case {
  std::int64_t zoom;
  std::string layer;
  std::optional<tg::zoom_config> expected;
};

void PrintTo(const zoom_case& c, std::ostream* os) { *os << c.layer << "@" << c.zoom; }

class ZoomPolicy : public testing::TestWithParam<zoom_case> {};

TEST_P(ZoomPolicy, PicksTheBandOrRefusesBelowTheLayerMinimum) {
  const auto& c = GetParam();
  EXPECT_EQ(tg::get_zoom_config(c.zoom, c.layer), c.expected);
}

constexpr tg::zoom_config BAND1{2000, 1000, 512, 7200}, BAND2{1000, 2000, 256, 7200}, BAND3{500, 3000, 256, 7200},
    BAND4{500, 1200, 256, 7200}, BAND5{500, 1500, 256, 1800}, BAND6{0, 1500, 16, 1800}, BAND7{0, 3000, 8, 1800},
    BAND8{0, 15000, 8, 1800};

INSTANTIATE_TEST_SUITE_P(
    BandEdges, ZoomPolicy,
    testing::Values(zoom_case{8, "plots", BAND3}, zoom_case{7, "plots", std::nullopt},
                    zoom_case{12, "beacons", BAND5}, zoom_case{11, "beacons", std::nullopt},
                    zoom_case{2, "lgas", BAND1}, zoom_case{1, "lgas", std::nullopt},
                    zoom_case{0, "districts", std::nullopt}, zoom_case{4, "cadzones", BAND1},
                    zoom_case{5, "cadzones", BAND2}, zoom_case{6, "cadzones", BAND2}, zoom_case{9, "plots", BAND4},
                    zoom_case{10, "cadzones", BAND4}, zoom_case{11, "plots", BAND5}, zoom_case{13, "plots", BAND6},
                    zoom_case{14, "plots", BAND6}, zoom_case{15, "plots", BAND7}, zoom_case{16, "plots", BAND7},
                    zoom_case{17, "plots", BAND8}, zoom_case{25, "plots", BAND8},
                    zoom_case{INT64_MAX, "plots", BAND8}, zoom_case{0, "roads", BAND1},
                    zoom_case{-1, "roads", std::nullopt}, zoom_case{8, "Plots", BAND3}));

TEST(ZoomPolicy, QueryTimeoutGrowsWithZoom) {
  using std::chrono::seconds;
  const std::pair<std::int64_t, seconds> cases[] = {{-3, seconds{10}}, {6, seconds{10}},  {7, seconds{12}},
                                                    {10, seconds{12}}, {11, seconds{15}}, {14, seconds{15}},
                                                    {15, seconds{20}}, {16, seconds{20}}, {17, seconds{30}},
                                                    {30, seconds{30}}};
  for (const auto& [zoom, timeout] : cases) EXPECT_EQ(tg::tile_query_timeout(zoom), timeout) << zoom;
}

TEST(ZoomPolicy, SimplificationWordThresholdsAreStrict) {
  EXPECT_EQ(tg::simplification_word(2000), "heavy");
  EXPECT_EQ(tg::simplification_word(501), "heavy");
  EXPECT_EQ(tg::simplification_word(500), "moderate");
  EXPECT_EQ(tg::simplification_word(101), "moderate");
  EXPECT_EQ(tg::simplification_word(100), "light");
  EXPECT_EQ(tg::simplification_word(1), "light");
  EXPECT_EQ(tg::simplification_word(0), "none");
  EXPECT_EQ(tg::simplification_word(-5), "none");
}
