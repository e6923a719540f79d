#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "mapsvc/tile_gateway/tile_checks.hpp"

namespace tg = mapsvc::tile_gateway;

struct address_case {
  std::int64_t z, x, y;
  bool valid;
};

class TileAddress : public testing::TestWithParam<address_case> {};

TEST_P(TileAddress, IsCheckedAgainstTheGridOfItsZoom) {
  const auto& c = GetParam();
  EXPECT_EQ(tg::validate_tile_coords(c.z, c.x, c.y), c.valid) << c.z << "/" << c.x << "/" << c.y;
}

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Cases, TileAddress,
    testing::Values(address_case{1, 0, 0, true}, address_case{1, 1, 1, true},
                    address_case{20, 1048575, 1048575, true}, address_case{3, 7, 7, true},
                    address_case{0, 0, 0, false}, address_case{21, 0, 0, false}, address_case{3, 8, 0, false},
                    address_case{3, 0, 8, false}, address_case{3, -1, 0, false}, address_case{3, 0, -1, false},
                    address_case{20, 1048576, 0, false}, address_case{-5, 0, 0, false},
                    address_case{63, 0, 0, false}, address_case{64, 0, 0, false},
                    address_case{I64_MAX, 0, 0, false}, address_case{I64_MIN, 0, 0, false},
                    address_case{20, I64_MAX, I64_MAX, false}, address_case{20, I64_MIN, 0, false}));

TEST(BboxArea, IsTheAbsoluteAreaWhateverTheCornerOrder) {
  EXPECT_DOUBLE_EQ(tg::calculate_bbox_area_degrees(0, 0, 1, 1), 1.0);
  EXPECT_DOUBLE_EQ(tg::calculate_bbox_area_degrees(1, 1, 0, 0), 1.0);
  EXPECT_DOUBLE_EQ(tg::calculate_bbox_area_degrees(0, 1, 1, 0), 1.0);
  EXPECT_DOUBLE_EQ(tg::calculate_bbox_area_degrees(10, 10, 10, 12), 0.0);
  EXPECT_DOUBLE_EQ(tg::calculate_bbox_area_degrees(-1.5, 2, 0.5, 2.5), 1.0);
}
