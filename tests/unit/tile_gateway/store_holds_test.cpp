// Holds on storing tiles while replicas catch up: which tiles they cover, and how they end.
#include <gtest/gtest.h>

#include "mapsvc/tile_gateway/store_holds.hpp"

namespace tg = mapsvc::tile_gateway;
using namespace std::chrono_literals;

namespace {

// The tile at zoom z holding a point of Abuja.
host::helpers::tile_address tile_at(int z) { return host::helpers::tile_for(9.05, 7.49, z); }

}  // namespace

TEST(StoreHolds, CoverTheBatchsTilesOfItsLayersAndZoomsOnly) {
  tg::store_holds holds;
  const auto now = tg::store_holds::clock::now();
  const auto z16 = tile_at(16);
  const auto b = host::helpers::bounds_of(16, z16.x, z16.y);
  const tg::mercator_box around{b.minx - 10, b.miny - 10, b.maxx + 10, b.maxy + 10};
  holds.hold(7, {{"plots", around, 10, 20}}, now + 30s);
  EXPECT_TRUE(holds.holds("plots", z16, now));
  EXPECT_FALSE(holds.holds("beacons", z16, now)) << "another layer";
  EXPECT_FALSE(holds.holds("plots", {16, 0, 0}, now)) << "far away";
  EXPECT_FALSE(holds.holds("plots", tile_at(8), now)) << "below the zooms held";
  holds.hold(9, {}, now + 30s);  // a batch touching no layer holds nothing
}

TEST(StoreHolds, EndWhenTheCursorPassesTheirBatchOrTheirTimeIsUp) {
  tg::store_holds holds;
  const auto now = tg::store_holds::clock::now();
  const auto tile = tile_at(16);
  const auto box = host::helpers::bounds_of(16, tile.x, tile.y);
  const tg::mercator_box inside{box.minx + 1, box.miny + 1, box.minx + 2, box.miny + 2};
  holds.hold(10, {{"plots", inside, 1, 20}}, now + 30s);
  holds.hold(20, {{"plots", inside, 1, 20}}, now + 5s);
  holds.release_through(15);
  EXPECT_TRUE(holds.holds("plots", tile, now)) << "the second batch is not applied yet";
  EXPECT_FALSE(holds.holds("plots", tile, now + 6s)) << "its time is up";
  EXPECT_TRUE(holds.empty());
  holds.hold(30, {{"plots", inside, 1, 20}}, now + 30s);
  holds.release_through(30);
  EXPECT_FALSE(holds.holds("plots", tile, now));
}
