#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/helpers/utils.hpp"
#include "mapsvc/tile_gateway/bbox.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"

namespace tg = mapsvc::tile_gateway;
using host::helpers::bounds_of;
using tg::mercator_box;

namespace {

constexpr double H = host::helpers::WEB_MERCATOR_HALF_WORLD;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

mercator_box around(double lon, double lat, double half_side) {
  const double x = lon * std::numbers::pi / 180 * 6378137.0;
  const double y = std::log(std::tan(std::numbers::pi / 4 + lat * std::numbers::pi / 360)) * 6378137.0;
  return {x - half_side, y - half_side, x + half_side, y + half_side};
}

bool exactly_meets(int z, std::int64_t x, std::int64_t y, const mercator_box& b) {
  const auto t = bounds_of(z, x, y);
  return t.minx <= b.maxx && b.minx <= t.maxx && t.miny <= b.maxy && b.miny <= t.maxy;
}

bool in_span(const tg::tile_span& s, std::int64_t x, std::int64_t y) {
  return x >= s.x0 && x <= s.x1 && y >= s.y0 && y <= s.y1;
}

// Listed tile keys per zoom of one layer.
std::map<int, int> keys_per_zoom(const tg::invalidation_plan& plan, const std::string& layer) {
  std::map<int, int> out;
  for (const auto& key : plan.keys)
    if (const auto parsed = tg::parse_tile_key(key); parsed && parsed->first == layer) ++out[parsed->second.z];
  return out;
}

const mercator_box ABUJA_PARCEL = around(7.49, 9.06, 15);

}  // namespace

TEST(ChangePlanSpan, EdgesOfTilesAndOfTheWorld) {
  // Points on the top-left corner of a tile (bounds_of's own edges, which neighbours may miss by an ulp).
  for (const auto& [z, x, y] : {std::tuple{1, 1, 1}, {5, 10, 7}, {13, 4000, 3000}, {20, 555555, 444444}}) {
    const auto t = bounds_of(z, x, y);
    const auto s = tg::tiles_meeting({t.minx, t.maxy, t.minx, t.maxy}, z);
    EXPECT_TRUE(s.x0 == x - 1 && s.x1 == x && s.y0 == y - 1 && s.y1 == y) << z;
  }
  const auto last = [](int z) { return (std::int64_t{1} << z) - 1; };
  const std::tuple<mercator_box, int, std::int64_t, std::int64_t, std::int64_t, std::int64_t> cases[] = {
      {{H - 1, -H, H + 5000, -H + 1}, 4, last(4), last(4), last(4), last(4)},  // bottom-right corner of the world
      {{H + 10, 0.5, H + 20, 0.5}, 3, last(3), last(3), 3, 3},                 // beyond the edge: clamped
      {{-H, -H, H, H}, 6, 0, last(6), 0, last(6)},
      {{1, 1, 2, 2}, 1, 1, 1, 0, 0},  // north-east quarter: column 1, row 0 (rows from the top)
      {{2, -1, 1, -2}, 1, 1, 1, 1, 1},  // corners swapped
      {{bounds_of(20, last(20), 7).minx + 1, bounds_of(20, 0, 7).miny + 1, H, bounds_of(20, 0, 7).miny + 2}, 20,
       last(20), last(20), 7, 7}};
  for (const auto& [box, z, x0, x1, y0, y1] : cases) {
    const auto s = tg::tiles_meeting(box, z);
    EXPECT_TRUE(s.x0 == x0 && s.x1 == x1 && s.y0 == y0 && s.y1 == y1) << z << " " << s.x0 << " " << s.y0;
  }
  EXPECT_EQ(tg::tiles_meeting({NaN, 0, 1, 1}, 5).count(), 0u);
  EXPECT_EQ(tg::tiles_meeting({0, 0, std::numeric_limits<double>::infinity(), 1}, 5).count(), 0u);
  EXPECT_EQ(tg::tiles_meeting({0, 0, 1, 1}, 31).count(), 0u);
}

TEST(ChangePlanSpan, AgreesWithBoundsOfOverEveryTile) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> coord(-H, H);
  for (int z = 1; z <= 6; ++z) {
    const std::int64_t n = std::int64_t{1} << z;
    std::uniform_int_distribution<std::int64_t> index(0, n - 1);
    for (int i = 0; i < 60; ++i) {
      const double ax = coord(rng), ay = coord(rng);
      const double span = std::ldexp(coord(rng), -(i % 8));  // from world-wide to a fraction of a tile
      const double bx = std::clamp(ax + span, -H, H), by = std::clamp(ay - span / 2, -H, H);
      const mercator_box box{std::min(ax, bx), std::min(ay, by), std::max(ax, bx), std::max(ay, by)};
      // Edges snapped onto tile boundaries: the closed envelopes on both sides must be kept.
      const auto corner = bounds_of(z, index(rng), index(rng));
      const mercator_box snapped{corner.minx, corner.miny, corner.maxx + box.maxx - box.minx, corner.maxy};
      for (const bool exact : {true, false}) {
        const auto& b = exact ? box : snapped;
        const auto s = tg::tiles_meeting(b, z);
        for (std::int64_t x = 0; x < n; ++x)
          for (std::int64_t y = 0; y < n; ++y) {
            const bool listed = in_span(s, x, y), meets = exactly_meets(z, x, y, b);
            ASSERT_EQ(tg::tile_meets({z, x, y}, {b}), listed) << z << "/" << x << "/" << y;
            ASSERT_TRUE(exact ? listed == meets : listed || !meets) << z << "/" << x << "/" << y;
          }
      }
    }
  }
}

TEST(ChangePlan, SmallParcelEditTouchesAboutOneTilePerZoom) {
  const tg::feed_change change{"PLOT", ABUJA_PARCEL};
  const auto plan = tg::plan_invalidation(tg::LAYER_CONFIG(), {&change, 1});
  const auto per_zoom = keys_per_zoom(plan, "plots");
  std::vector<int> counts;
  for (int z = 8; z <= 20; ++z) counts.push_back(per_zoom.contains(z) ? per_zoom.at(z) : 0);
  EXPECT_EQ(per_zoom.size(), 13u);
  EXPECT_TRUE(std::all_of(counts.begin(), counts.end(), [](int c) { return c >= 1 && c <= 4; }));
  std::nth_element(counts.begin(), counts.begin() + 6, counts.end());
  EXPECT_LE(counts[6], 2);
  EXPECT_TRUE(std::binary_search(plan.keys.begin(), plan.keys.end(), "centroid:plots"));
  EXPECT_TRUE(plan.lookups.empty() && plan.whole_layers.empty());
  ASSERT_EQ(plan.box_tiles.size(), 1u);
  EXPECT_EQ(plan.box_tiles[0].second, std::vector{ABUJA_PARCEL});
  ASSERT_EQ(plan.areas.size(), 1u);
  EXPECT_EQ(std::tie(plan.areas[0].minzoom, plan.areas[0].maxzoom), std::tuple(8, 20));

  // Centred on a z15 corner: four tiles from z15 down.
  const auto c = bounds_of(15, 17000, 15000);
  const tg::feed_change corner{"PLOT", mercator_box{c.minx - 15, c.maxy - 15, c.minx + 15, c.maxy + 15}};
  const auto at_corner = keys_per_zoom(tg::plan_invalidation(tg::LAYER_CONFIG(), {&corner, 1}), "plots");
  for (int z = 15; z <= 20; ++z) EXPECT_EQ(at_corner.at(z), 4) << z;
}

// Past a few dozen tiles a zoom is looked up: listed or read from the set of cached tiles,
// whichever is fewer, so the plan counts its tiles (up to the limit) and lists them on demand.
TEST(ChangePlan, LargeExtentsBecomeLookupsThatListTheSameTiles) {
  const tg::feed_change district{"Districts", around(7.49, 9.06, 10'000)};
  const auto plan = tg::plan_invalidation(tg::LAYER_CONFIG(), {&district, 1});
  ASSERT_FALSE(plan.lookups.empty());
  EXPECT_EQ(plan.lookups.back().z, 20);
  EXPECT_FALSE(plan.lookups.back().tiles);  // too many to count
  EXPECT_EQ(plan.lookups.back().boxes, std::vector{*district.extent});
  const auto per_zoom = keys_per_zoom(plan, "districts");
  EXPECT_EQ(per_zoom.begin()->first, 3);
  for (const auto& [z, count] : per_zoom) EXPECT_LE(count, 64) << z;
  const auto everything = tg::plan_invalidation(tg::LAYER_CONFIG(), {&district, 1}, 4096, 4096);
  const auto all_per_zoom = keys_per_zoom(everything, "districts");
  bool uncounted = false;
  for (const auto& lookup : plan.lookups) {
    EXPECT_FALSE(per_zoom.contains(lookup.z)) << lookup.z;
    uncounted = uncounted || !lookup.tiles;
    EXPECT_EQ(uncounted, !lookup.tiles) << "counted again at zoom " << lookup.z;
    if (!lookup.tiles) {
      EXPECT_FALSE(all_per_zoom.contains(lookup.z)) << lookup.z;
      continue;
    }
    // Listed on demand, the very keys a plan listing everything has.
    const auto keys = tg::lookup_keys(lookup);
    ASSERT_TRUE(keys) << lookup.z;
    EXPECT_EQ(keys->size(), *lookup.tiles);
    EXPECT_EQ(static_cast<int>(keys->size()), all_per_zoom.at(lookup.z));
    for (const auto& k : *keys) EXPECT_TRUE(std::binary_search(everything.keys.begin(), everything.keys.end(), k)) << k;
  }

  // Five copies of a 1,000-tile edit: 5,000 before duplicates go, 1,000 after.
  const auto t = bounds_of(10, 500, 500);
  const double size = t.maxx - t.minx;
  const mercator_box block{t.minx + 1, t.miny + 1, t.minx + 39.5 * size, t.miny + 24.5 * size};  // 40 x 25 tiles
  const std::vector<tg::feed_change> copies(5, tg::feed_change{"CadZones", block});
  EXPECT_EQ(keys_per_zoom(tg::plan_invalidation(tg::LAYER_CONFIG(), copies, 4096, 4096), "cadzones").at(10), 1000);
  const auto looked_up = tg::plan_invalidation(tg::LAYER_CONFIG(), copies);
  const auto z10 = std::find_if(looked_up.lookups.begin(), looked_up.lookups.end(),
                                [](const auto& l) { return l.layer == "cadzones" && l.z == 10; });
  ASSERT_NE(z10, looked_up.lookups.end());
  EXPECT_EQ(tg::lookup_keys(*z10)->size(), 1000u);
  // Shifted by 20 columns: 500 tiles shared, 1,500 in all, counted exactly at the limit.
  const std::vector<tg::feed_change> two{copies[0], {"CadZones", mercator_box{block.minx + 20 * size, block.miny,
                                                                              block.maxx + 20 * size, block.maxy}}};
  EXPECT_EQ(keys_per_zoom(tg::plan_invalidation(tg::LAYER_CONFIG(), two, 1500, 1500), "cadzones").at(10), 1500);
  const auto past = tg::plan_invalidation(tg::LAYER_CONFIG(), two, 1499, 1499).lookups.front();
  EXPECT_EQ(past.z, 10);
  EXPECT_FALSE(past.tiles);
}

TEST(ChangePlan, BatchesDedupeAndWholeTablesWin) {
  const std::vector<tg::feed_change> twice{{"PLOT", ABUJA_PARCEL}, {"PLOT", ABUJA_PARCEL}, {"BEACON", ABUJA_PARCEL}};
  const auto plan = tg::plan_invalidation(tg::LAYER_CONFIG(), twice);
  EXPECT_TRUE(std::is_sorted(plan.keys.begin(), plan.keys.end()));
  EXPECT_EQ(std::adjacent_find(plan.keys.begin(), plan.keys.end()), plan.keys.end());
  const tg::feed_change once{"PLOT", ABUJA_PARCEL};
  EXPECT_EQ(keys_per_zoom(plan, "plots"), keys_per_zoom(tg::plan_invalidation(tg::LAYER_CONFIG(), {&once, 1}), "plots"));
  EXPECT_EQ(plan.box_tiles[0].second.size(), 1u);

  for (const auto& whole : {tg::feed_change{"PLOT", std::nullopt}, tg::feed_change{"PLOT", mercator_box{NaN, 0, 1, 1}}}) {
    const std::vector<tg::feed_change> batch{{"PLOT", ABUJA_PARCEL}, whole, {"NOT_A_LAYER", std::nullopt}};
    const auto p = tg::plan_invalidation(tg::LAYER_CONFIG(), batch);
    EXPECT_EQ(p.whole_layers, std::vector<std::string>{"plots"});
    EXPECT_EQ(p.keys, std::vector<std::string>{"centroid:plots"});  // not under "plots:*"
    EXPECT_TRUE(p.lookups.empty() && p.box_tiles.empty());
    ASSERT_EQ(p.areas.size(), 1u);
    EXPECT_EQ(p.areas[0].box, (mercator_box{-H, -H, H, H}));
  }

  const std::vector<tg::feed_change> strangers{{"ROADS", ABUJA_PARCEL}, {"plot", ABUJA_PARCEL}, {"\"PLOT\"", ABUJA_PARCEL}};
  const auto none = tg::plan_invalidation(tg::LAYER_CONFIG(), strangers);
  EXPECT_TRUE(none.keys.empty() && none.box_tiles.empty() && none.areas.empty());

  const tg::layer_catalogue shared({{"parcels", {R"("PLOT")", "", "", {}, 8}}, {"zones", {R"("Zo""ne")", "", "", {}, 2}},
                                    {"plots", {R"("PLOT")", "", "", {}, 8}}});
  EXPECT_EQ(tg::layers_fed_by(shared, "PLOT"), (std::vector<std::string>{"parcels", "plots"}));
  EXPECT_EQ(tg::layers_fed_by(shared, "Zo\"ne"), std::vector<std::string>{"zones"});
  EXPECT_EQ(tg::plan_invalidation(shared, {&once, 1}).box_tiles.size(), 2u);
}

TEST(ChangePlanKeys, ParseOnlyWhatTheCacheWrites) {
  const auto tile = tg::parse_tile_key("plots:15:17000:15000");
  ASSERT_TRUE(tile);
  EXPECT_EQ(std::tie(tile->first, tile->second.z, tile->second.x, tile->second.y),
            std::tuple(std::string("plots"), 15, std::int64_t{17000}, std::int64_t{15000}));
  EXPECT_TRUE(tg::parse_tile_key("lgas:1:1:0"));
  for (const char* bad : {"plots:15:abc:1", "plots:21:0:0", "plots:0:0:0", "plots:2:4:0", "plots:2:0:4", "plots:2:-0:0",
                          "plots:2:-1:0", "plots:2:01:0", "plots:2:+1:0", "plots:2: 1:0", "plots:2:1:1:5", "plots:2:1",
                          ":2:1:1", "plots:2:1:1 ", "plots:20:99999999999999999999:0", "centroid:plots",
                          "bbox:plots:1:2:3:4:5000:True", ""})
    EXPECT_FALSE(tg::parse_tile_key(bad)) << bad;

  EXPECT_EQ(tg::parse_bbox_key(tg::bbox_cache_key("plots", 300.4, -0.4, 100, 200, 5000, false), "plots"),
            (mercator_box{100, 0, 300, 200}));
  EXPECT_EQ(tg::parse_bbox_key("bbox:plots:1:2:3:4:-3:True", "plots"), (mercator_box{1, 2, 3, 4}));
  for (const char* bad : {"bbox:plots:1:2:3:4:5000", "bbox:plots:1:2:3:4:5000:True:x", "bbox:plots:nan:2:3:4:5000:True",
                          "bbox:plots:1.5:2:3:4:5000:True", "bbox:plots:01:2:3:4:5000:True",
                          "bbox:plots:+1:2:3:4:5000:True", "bbox:plots:1:2:3:4:5000:true", "bbox:plots:1:2:3:4:-0:True",
                          "bbox:plots:1:2:3:4::True", "bbox:plots2:1:2:3:4:5000:True", "plots:1:2:3:4:5000:True"})
    EXPECT_FALSE(tg::parse_bbox_key(bad, "plots")) << bad;
}

TEST(ChangePlanKeys, BoxTilesAllowTheRoundingSlack) {
  const mercator_box key{0, 0, 100, 100};
  const std::pair<mercator_box, bool> cases[] = {
      {{100.4, 50, 120, 60}, true},  {{-20, -20, -0.4, -0.4}, true}, {{40, 100.5, 60, 110}, true},
      {{102, 50, 120, 60}, false},   {{-20, -20, -2, 50}, false},    {{40, -12, 60, -2}, false},
      {{120, 120, 102, 102}, false},  // corners swapped, still 2 m off
  };
  for (const auto& [edit, meets] : cases) EXPECT_EQ(tg::box_tile_meets(key, {edit}), meets) << edit.minx << " " << edit.miny;
  EXPECT_TRUE(tg::box_tile_meets(key, {{500, 500, 600, 600}, {50, 50, 50, 50}}));
  EXPECT_FALSE(tg::box_tile_meets(key, {}));
}

TEST(ChangePlanAreas, EditsMergeWhereTheyOverlapOrTouch) {
  std::vector<tg::feed_change> street;
  for (int i = 0; i < 10; ++i) street.push_back({"PLOT", mercator_box{i * 20.0, 0, i * 20.0 + 20, 15}});
  street.push_back({"PLOT", mercator_box{5000, 5000, 5010, 5010}});
  // Touches neither end of the street but the box spanning it: merged on a later pass.
  street.push_back({"PLOT", mercator_box{-10, 30, 5, 40}});
  street.push_back({"PLOT", mercator_box{100, 15, 110, 30}});
  const auto plan = tg::plan_invalidation(tg::LAYER_CONFIG(), street);
  ASSERT_EQ(plan.areas.size(), 2u);
  EXPECT_EQ(plan.areas[0].box, (mercator_box{-10, 0, 200, 40}));
  EXPECT_EQ(plan.areas[1].box, (mercator_box{5000, 5000, 5010, 5010}));

  const auto w = tg::to_wgs84(ABUJA_PARCEL);
  EXPECT_NEAR((w.west + w.east) / 2, 7.49, 1e-9);
  EXPECT_NEAR((w.south + w.north) / 2, 9.06, 1e-6);
  const auto world = tg::to_wgs84({2 * H, 2 * H, -2 * H, -2 * H});
  EXPECT_EQ(std::tie(world.west, world.east), std::tuple(-180.0, 180.0));
  EXPECT_NEAR(world.north, 85.0511, 1e-4);
  EXPECT_EQ(world.south, -world.north);
}
