#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>

#include "mapsvc/tile_gateway/zoom_policy.hpp"

namespace tg = mapsvc::tile_gateway;

TEST(ZoomPolicy, PicksTheBandOrRefusesBelowTheLayerMinimum) {
  constexpr tg::zoom_config BAND1{2000, 1000, 512, 7200}, BAND2{1000, 2000, 256, 7200}, BAND3{500, 3000, 256, 7200},
      BAND4{500, 1200, 256, 7200}, BAND5{500, 1500, 256, 1800}, BAND6{0, 1500, 16, 1800}, BAND7{0, 3000, 8, 1800},
      BAND8{0, 15000, 8, 1800};
  const std::tuple<std::int64_t, const char*, std::optional<tg::zoom_config>> cases[] = {
      {8, "plots", BAND3},      {7, "plots", std::nullopt}, {12, "beacons", BAND5},   {11, "beacons", std::nullopt},
      {2, "lgas", BAND1},       {1, "lgas", std::nullopt},  {0, "districts", std::nullopt}, {4, "cadzones", BAND1},
      {5, "cadzones", BAND2},   {6, "cadzones", BAND2},     {9, "plots", BAND4},      {10, "cadzones", BAND4},
      {11, "plots", BAND5},     {13, "plots", BAND6},       {14, "plots", BAND6},     {15, "plots", BAND7},
      {16, "plots", BAND7},     {17, "plots", BAND8},       {INT64_MAX, "plots", BAND8}, {0, "roads", BAND1},
      {-1, "roads", std::nullopt}, {8, "Plots", BAND3}};
  for (const auto& [zoom, layer, expected] : cases)
    EXPECT_EQ(tg::get_zoom_config(zoom, layer), expected) << layer << "@" << zoom;
}

TEST(ZoomPolicy, QueryTimeoutGrowsWithZoom) {
  using std::chrono::seconds;
  const std::pair<std::int64_t, seconds> cases[] = {{6, seconds{10}},  {7, seconds{12}},  {10, seconds{12}},
                                                    {11, seconds{15}}, {14, seconds{15}}, {15, seconds{20}},
                                                    {16, seconds{20}}, {17, seconds{30}}};
  for (const auto& [zoom, timeout] : cases) EXPECT_EQ(tg::tile_query_timeout(zoom), timeout) << zoom;
}

TEST(ZoomPolicy, SimplificationWordThresholdsAreStrict) {
  const std::pair<int, const char*> cases[] = {{501, "heavy"}, {500, "moderate"}, {101, "moderate"},
                                               {100, "light"},  {1, "light"},      {0, "none"}, {-5, "none"}};
  for (const auto& [tolerance, word] : cases) EXPECT_EQ(tg::simplification_word(tolerance), word) << tolerance;
}
