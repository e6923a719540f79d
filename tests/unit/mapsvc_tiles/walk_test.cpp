#include <gtest/gtest.h>

#include <map>
#include <set>

#include "walk.hpp"

namespace mapsvc::tiles {
namespace {

// A box inside one z10 tile's envelope, so that the walk is a full quadtree below it.
tile_gateway::mercator_box inside_tile(int z, std::int64_t x, std::int64_t y) {
  const auto b = host::helpers::bounds_of(z, x, y);
  const double d = (b.maxx - b.minx) / 1000;
  return {b.minx + d, b.miny + d, b.maxx - d, b.maxy - d};
}

using tile_key = std::tuple<std::uint32_t, int, std::int64_t, std::int64_t>;
tile_key key(const walk_tile& t) { return {t.layer, t.z, t.x, t.y}; }

// Runs the walk with `concurrency` tiles in flight; `empty` says which tiles are empty.
std::vector<walk_tile> drain(seed_walk& w, std::size_t concurrency, const std::function<bool(const walk_tile&)>& empty) {
  std::vector<walk_tile> order, flight;
  while (true) {
    while (flight.size() < concurrency) {
      auto t = w.next();
      if (!t) break;
      flight.push_back(t->tile);
    }
    if (flight.empty()) break;
    const auto t = flight.front();
    flight.erase(flight.begin());
    EXPECT_TRUE(w.complete(t, empty(t)));
    order.push_back(t);
  }
  EXPECT_TRUE(w.finished());
  return order;
}

TEST(SeedWalk, VisitsEveryTileOnceParentsFirst) {
  seed_walk w({{"plots", 8, inside_tile(10, 500, 400)}, {"beacons", 12, inside_tile(10, 500, 400)}}, 10, 13);
  // plots: 1 + 4 + 16 + 64; beacons starts at its first zoom, 12: 16 + 64.
  EXPECT_EQ(w.total(), 85u + 80u);
  EXPECT_EQ(w.total_of(1), 80u);
  const auto order = drain(w, 3, [](const walk_tile&) { return false; });
  ASSERT_EQ(order.size(), w.total());
  std::set<tile_key> seen;
  for (const auto& t : order) {
    EXPECT_TRUE(seen.insert(key(t)).second);
    if (t.z > w.layers()[t.layer].first_zoom) {
      EXPECT_TRUE(seen.count({t.layer, t.z - 1, t.x / 2, t.y / 2}));
    }
  }
  EXPECT_EQ(w.done(), w.total());
}

TEST(SeedWalk, DepthFirstKeepsFewTilesWaiting) {
  // A z10-sized area walked to z18: 87,381 tiles; what waits stays a few per level.
  seed_walk w({{"plots", 8, inside_tile(10, 500, 400)}}, 10, 18);
  std::size_t most = 0, n = 0;
  std::vector<walk_tile> flight;
  while (auto t = w.next()) {
    flight.push_back(t->tile);
    if (flight.size() < 8) continue;
    for (const auto& f : flight) w.complete(f, false), ++n;
    flight.clear();
    most = std::max(most, w.pending().size());
  }
  for (const auto& f : flight) w.complete(f, false), ++n;
  while (auto t = w.next()) w.complete(t->tile, false), ++n;
  EXPECT_EQ(n, w.total());
  EXPECT_LT(most, 100u);
}

TEST(SeedWalk, EmptyTilesEndTheirBranchAndCountItDone) {
  seed_walk w({{"plots", 8, inside_tile(10, 500, 400)}}, 10, 13);
  // The z11 tile (1000, 800) is empty: its 4 + 16 descendants are never built.
  const auto order = drain(w, 2, [](const walk_tile& t) { return t.z == 11 && t.x == 1000 && t.y == 800; });
  EXPECT_EQ(order.size(), 85u - 20u);
  EXPECT_EQ(w.skipped(), 20u);
  EXPECT_EQ(w.done(), 85u);
  for (const auto& t : order) EXPECT_FALSE(t.z > 11 && (t.x >> (t.z - 11)) == 1000 && (t.y >> (t.z - 11)) == 800);
}

TEST(SeedWalk, ChildrenStayWithinTheArea) {
  // An area within one z14 tile: below z12 only the tiles meeting it are walked.
  const auto b = host::helpers::bounds_of(12, 2000, 1600);
  const double side = b.maxx - b.minx;
  seed_walk w({{"plots", 8, {b.minx + 0.1 * side, b.miny + 0.1 * side, b.minx + 0.2 * side, b.miny + 0.2 * side}}}, 12,
              14);
  EXPECT_EQ(w.total(), 1u + 1u + 1u);
  EXPECT_EQ(w.descendants({0, 12, 2000, 1600}), 2u);
  const auto order = drain(w, 1, [](const walk_tile&) { return false; });
  EXPECT_EQ(order.size(), 3u);
}

TEST(SeedWalk, LayersOutOfRangeOrWithoutAreaHaveNoTiles) {
  const double nan = std::nan("");
  seed_walk w({{"beacons", 12, inside_tile(10, 1, 1)}, {"plots", 8, {nan, nan, nan, nan}}}, 8, 11);
  EXPECT_EQ(w.total(), 0u);
  EXPECT_FALSE(w.next());
  EXPECT_TRUE(w.finished());
}

TEST(SeedWalk, RestoredFromPendingAndCursorFinishesTheSameTiles) {
  const auto area = tile_gateway::mercator_box{inside_tile(10, 500, 400).minx, inside_tile(10, 500, 400).miny,
                                               inside_tile(10, 501, 400).maxx, inside_tile(10, 501, 400).maxy};
  const std::vector<walk_layer> layers{{"plots", 8, area}, {"beacons", 12, area}};
  const auto empty = [](const walk_tile& t) { return t.z == 12 && t.x % 3 == 0; };
  seed_walk whole(layers, 10, 13);
  std::set<tile_key> all;
  for (const auto& t : drain(whole, 4, empty)) all.insert(key(t));

  seed_walk first(layers, 10, 13);
  std::set<tile_key> done;
  std::vector<walk_tile> flight;
  for (int i = 0; i < 40; ++i) {
    while (flight.size() < 4)
      if (auto t = first.next()) {
        flight.push_back(t->tile);
      } else {
        break;
      }
    first.complete(flight.front(), empty(flight.front()));
    done.insert(key(flight.front()));
    flight.erase(flight.begin());
  }
  // The record: in-flight tiles are pending and built again.
  seed_walk second(layers, 10, 13);
  second.restore(first.cursor(), first.pending(), first.done(), first.skipped());
  for (const auto& t : drain(second, 3, empty)) EXPECT_TRUE(done.insert(key(t)).second || false);
  EXPECT_EQ(done, all);
  EXPECT_EQ(second.done(), whole.done());
  EXPECT_EQ(second.skipped(), whole.skipped());
}

}  // namespace
}  // namespace mapsvc::tiles
