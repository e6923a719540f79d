// Where the plan's texts go, read from the display list.

#include "support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace plots_test;
using kind = pl::item_kind;

void expect_at(const pl::text_shape& t, double x, double y, double rotation) {
  EXPECT_NEAR(t.anchor.x, x, 1e-9) << t.text;
  EXPECT_NEAR(t.anchor.y, y, 1e-9) << t.text;
  EXPECT_NEAR(t.rotation_deg, rotation, 1e-9) << t.text;
}

pl::plan square_plan(json boundary = nullptr, json name = "Plot", json area = 1000.0) {
  const auto sq = square();
  return layout(json::array({parcel(1, sq, boundary.is_null() ? boundary_of(sq) : boundary, name, area)}), 1);
}

TEST(BeaconLabels, SquareParcelAtOneToThousand) {
  const auto p = square_plan();
  ASSERT_EQ(p.page.scale, 1000);
  const auto names = texts(p, kind::beacon_name);
  ASSERT_EQ(names.size(), 4u);
  // P1's previous beacon is the last one; its name goes away from the centroid.
  expect_at(names[0], -7 / std::sqrt(2), -7 / std::sqrt(2), 45);
  EXPECT_EQ(names[0].text, "P1");
  expect_at(names[1], 100 + 7 / std::sqrt(2), -7 / std::sqrt(2), -45);
  expect_at(names[2], 100 + 7 / std::sqrt(2), 100 + 7 / std::sqrt(2), 45);
  expect_at(names[3], -7 / std::sqrt(2), 100 + 7 / std::sqrt(2), 315);  // 135 turned upright

  const auto lengths = texts(p, kind::side_length), degrees = texts(p, kind::bearing_degrees),
             minutes = texts(p, kind::bearing_minutes);
  ASSERT_EQ(lengths.size(), 4u);
  // P1-P2 runs east: length 2 mm inside, bearing 2 mm outside at a quarter and three quarters.
  expect_at(lengths[0], 50, 2, 0);
  EXPECT_EQ(lengths[0].text, "100.00m");
  EXPECT_EQ(lengths[0].weight, pl::font_weight::medium);
  expect_at(degrees[0], 25, -2, 0);
  expect_at(minutes[0], 75, -2, 0);
  // P2-P3 points north: rotation 90 is kept and the side is not turned.
  expect_at(lengths[1], 98, 50, 90);
  expect_at(degrees[1], 102, 25, 90);
  expect_at(minutes[1], 102, 75, 90);
  // P3-P4 runs west: turned by 180, so the degrees sit three quarters of the way from P3.
  expect_at(lengths[2], 50, 98, 360);
  expect_at(degrees[2], 25, 102, 360);
  expect_at(minutes[2], 75, 102, 360);
  for (const auto& t : names) EXPECT_EQ(t.size_pt, 8);
}

TEST(BeaconLabels, AMiddleBeaconOnAStraightSideIsNamedOnTheOutwardNormal) {
  const std::vector<pl::point> ring = {{0, 0}, {50, 0}, {100, 0}, {100, 100}, {0, 100}};
  const auto names = texts(layout(json::array({parcel(1, ring, boundary_of(ring))}), 1), kind::beacon_name);
  expect_at(names[1], 50, -7, -90);
}

TEST(BeaconLabels, NamesStandThirteenMillimetresOffBelowOneToThousand) {
  const auto p = layout(json::array({parcel(1, square(40), boundary_of(square(40)))}), 1);
  ASSERT_EQ(p.page.scale, 500);
  const auto name = texts(p, kind::beacon_name)[0];
  EXPECT_NEAR(std::hypot(name.anchor.x, name.anchor.y), 6.5, 1e-9);
  EXPECT_EQ(name.size_pt, 9);
  expect_at(texts(p, kind::side_length)[0], 20, 1, 0);  // 2 mm is 1 m at 1:500
}

TEST(BeaconLabels, TextsPrintAsRecordedAndShortSidesGetNone) {
  json boundary = boundary_of(square());
  boundary[0]["distance_to_next"] = 112.3;
  boundary[0]["bearing_min_to_next"] = json::parse("30.0");
  boundary[1]["bearing_deg_to_next"] = json::parse("45.0");
  boundary[1]["bearing_min_to_next"] = "07";
  boundary[2]["beacon_name"] = 1234;
  // Stored survey lengths decide, not the drawn ones: 20 m is exactly 20 mm at 1:1000.
  boundary[2]["distance_to_next"] = 20;
  boundary[3]["distance_to_next"] = 19.99;
  const auto p = square_plan(boundary);
  const auto lengths = texts(p, kind::side_length);
  ASSERT_EQ(lengths.size(), 3u);
  EXPECT_EQ(lengths[0].text, "112.30m");
  EXPECT_EQ(lengths[2].text, "20.00m");
  EXPECT_EQ(count(p, kind::bearing_degrees), 3u);
  EXPECT_EQ(count(p, kind::beacon_name), 4u);
  EXPECT_EQ(texts(p, kind::bearing_degrees)[0].text, "45");
  EXPECT_EQ(texts(p, kind::bearing_minutes)[0].text, "30.0");
  EXPECT_EQ(texts(p, kind::bearing_degrees)[1].text, "45.0");
  EXPECT_EQ(texts(p, kind::bearing_minutes)[1].text, "07");
  EXPECT_EQ(texts(p, kind::beacon_name)[2].text, "1234");
}

TEST(BeaconLabels, CoincidentBeaconsLoseOnlyTheLabelsWithoutDirection) {
  const std::vector<pl::point> ring = {{0, 0}, {100, 0}, {100, 0}, {100, 100}, {0, 100}};
  json boundary = boundary_of(ring);
  boundary[1]["distance_to_next"] = 50;  // a surveyed length on a side drawn with none
  const auto p = layout(json::array({parcel(1, ring, boundary)}), 1);
  const auto names = texts(p, kind::beacon_name);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0].text, "P1");
  EXPECT_EQ(names[1].text, "P4");
  EXPECT_EQ(count(p, kind::side_length), 4u);
  EXPECT_EQ(p.notes.size(), 3u);  // two names, one side
  EXPECT_EQ(count(p, kind::beacon), 5u);
  for (const auto& item : p.items) {
    if (const auto* t = std::get_if<pl::text_shape>(&item.shape)) {
      EXPECT_TRUE(std::isfinite(t->anchor.x) && std::isfinite(t->anchor.y) && std::isfinite(t->rotation_deg));
    }
  }
  EXPECT_NO_THROW(pl::render_png(p));
}

TEST(NullLabels, LeaveOutOnlyThatLabelAndSayWhichInTheNotes) {
  json boundary = boundary_of(square());
  boundary[0]["beacon_name"] = nullptr;
  boundary[1]["bearing_deg_to_next"] = nullptr;
  boundary[2]["bearing_min_to_next"] = nullptr;
  const auto p = square_plan(boundary, nullptr);
  const auto names = texts(p, kind::beacon_name);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0].text, "P2");
  expect_at(names[0], 100 + 7 / std::sqrt(2), -7 / std::sqrt(2), -45);  // the others keep their places
  EXPECT_EQ(count(p, kind::bearing_degrees), 3u);
  EXPECT_EQ(count(p, kind::bearing_minutes), 3u);
  EXPECT_EQ(count(p, kind::side_length), 4u);
  EXPECT_EQ(count(p, kind::parcel_name), 0u);
  EXPECT_EQ(count(p, kind::parcel_area), 1u);
  EXPECT_EQ(p.notes, (std::vector<std::string>{
                         "parcel_data[0].boundary[0].beacon_name is null: the beacon's name is left out",
                         "parcel_data[0].boundary[1].bearing_deg_to_next is null: the degrees of the side's bearing "
                         "is left out",
                         "parcel_data[0].boundary[2].bearing_min_to_next is null: the minutes of the side's bearing "
                         "is left out",
                         "parcel_data[0].name is null: the parcel's name is left out"}));
  EXPECT_NO_THROW(pl::render_png(p));

  // A null bearing on a side too short to carry one omits nothing, so it is not noted.
  json short_side = boundary_of(square());
  short_side[0]["distance_to_next"] = 1;
  short_side[0]["bearing_deg_to_next"] = nullptr;
  EXPECT_TRUE(square_plan(short_side).notes.empty());
}

TEST(NullLabels, AbsentKeysAndNullMeasuresAreStillInputErrors) {
  const std::pair<std::function<void(json&)>, const char*> cases[] = {
      {[](json& b) { b[0].erase("beacon_name"); }, "parcel_data[0].boundary[0]: missing key \"beacon_name\""},
      {[](json& b) { b[1].erase("bearing_deg_to_next"); },
       "parcel_data[0].boundary[1]: missing key \"bearing_deg_to_next\""},
      {[](json& b) { b[2]["distance_to_next"] = nullptr; },
       "parcel_data[0].boundary[2].distance_to_next: expected a number, got null"}};
  for (const auto& [spoil, message] : cases) {
    json boundary = boundary_of(square());
    spoil(boundary);
    try {
      square_plan(boundary);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const pl::plan_input_error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  json no_name = json::array({parcel(1, square(), boundary_of(square()))});
  no_name[0].erase("name");
  EXPECT_THROW(layout(no_name, 1), pl::plan_input_error);
}

TEST(BeaconLabels, ShortBoundariesAreDrawnWithoutFailing) {
  auto p = square_plan(json::array({beacon("P1", {0, 0}, 0)}));
  EXPECT_EQ(count(p, kind::beacon), 1u);
  EXPECT_EQ(count(p, kind::boundary_side), 1u);
  EXPECT_EQ(count(p, kind::beacon_name), 0u);
  p = square_plan(json::array());
  EXPECT_EQ(count(p, kind::beacon) + count(p, kind::boundary_side), 0u);
}

TEST(ParcelTitle, NameBoldAtTwiceTheSizeAndAreaFourMillimetresBelow) {
  const auto p = square_plan(nullptr, "Plot 42", 1234.5);
  const auto name = texts(p, kind::parcel_name).at(0), area = texts(p, kind::parcel_area).at(0);
  expect_at(name, 50, 50, 0);
  EXPECT_EQ(name.text, "Plot 42");
  EXPECT_EQ(name.size_pt, 16);
  EXPECT_EQ(name.weight, pl::font_weight::bold);
  expect_at(area, 50, 46, 0);
  EXPECT_EQ(area.text, "1234.50m²");
  EXPECT_EQ(texts(square_plan(nullptr, 17, 0), kind::parcel_area).at(0).text, "0.00m²");
}

TEST(DisplayList, LayersComeInZOrderAndRoadsAreClippedToTheWindow) {
  const json parcels = json::array({parcel(2, square(100, {100, 0})), parcel(1, square(), boundary_of(square()))});
  // One road leaves the window and comes back; the other lies wholly outside it.
  const json roads = json::array({road({{-200, -20}, {50, -20}, {50, -200}, {80, -200}, {80, -20}, {300, -20}}),
                                  road({{-500, 500}, {-400, 500}})});
  const auto p = layout(parcels, 1, roads);
  ASSERT_EQ(count(p, kind::road), 2u);
  EXPECT_EQ(count(p, kind::parcel), 2u);
  const auto& w = p.page.window;
  int last = -1;
  std::vector<kind> order;  // kinds in the order drawn, runs collapsed
  for (const auto& item : p.items) {
    EXPECT_GE(item.zorder, last);
    last = item.zorder;
    if (order.empty() || order.back() != item.kind) order.push_back(item.kind);
    if (item.kind != kind::road) continue;
    for (const auto& pt : std::get<pl::line_shape>(item.shape).points)
      EXPECT_TRUE(pt.x >= w.xmin - 1e-9 && pt.x <= w.xmax + 1e-9 && pt.y >= w.ymin - 1e-9) << pt.x << "," << pt.y;
  }
  // The selected parcel comes over the plain parcels, the sides over it, the beacons over both.
  const std::vector<kind> expected = {kind::road, kind::parcel, kind::selected_parcel, kind::boundary_side,
                                      kind::beacon};
  EXPECT_EQ(std::vector<kind>(order.begin(), order.begin() + 5), expected);
  EXPECT_TRUE(layout(parcels, 1, json::array()).items[0].kind == kind::parcel);
}

}  // namespace
