// Bad plan input fails with plan_input_error naming the record and key; nothing crashes.

#include "support.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace plots_test;

struct request {
  json parcels;
  json selected = 5071;
  json roads = json::array();
};

request valid() {
  const auto sq = square();
  return {json::array({parcel(5070, square(100, {100, 0})), parcel(5071, sq, boundary_of(sq))}), 5071,
          json::array({road({{-50, -10}, {250, -10}})})};
}

TEST(BadInput, NamesTheRecordAndKey) {
  const std::pair<std::function<void(request&)>, const char*> cases[] = {
      {[](request& r) { r.selected = 999; }, "parcel_data: no parcel with parcel_number 999"},
      {[](request& r) { r.selected = "5071"; }, "parcel_data: no parcel with parcel_number \"5071\""},
      {[](request& r) { r.parcels = json::object(); }, "parcel_data: expected an array, got object"},
      {[](request& r) { r.parcels[0].erase("parcel_number"); }, "parcel_data[0]: missing key \"parcel_number\""},
      {[](request& r) { r.parcels[0]["geometry"].erase("coordinates"); },
       "parcel_data[0].geometry: missing key \"coordinates\""},
      {[](request& r) { r.parcels[1]["geometry"]["coordinates"] = json::array(); },
       "parcel_data[1].geometry.coordinates: missing ring 0"},
      {[](request& r) { r.parcels[1]["geometry"]["coordinates"][0] = json::parse("[[0, 0], [1, 0], [0, 0]]"); },
       "parcel_data[1].geometry.coordinates[0]: a ring needs at least 3 positions besides the closing one, got 2"},
      {[](request& r) { r.parcels[1]["geometry"]["coordinates"][0][2][1] = "100"; },
       "parcel_data[1].geometry.coordinates[0][2][1]: expected a number, got string \"100\""},
      {[](request& r) { r.parcels[1]["boundary"][2]["geometry"]["coordinates"] = json::parse("[100, 100, 0]"); },
       "parcel_data[1].boundary[2].geometry.coordinates: a beacon position needs exactly two coordinates, got 3"},
      {[](request& r) { r.parcels[1]["boundary"][1].erase("bearing_min_to_next"); },
       "parcel_data[1].boundary[1]: missing key \"bearing_min_to_next\""},
      {[](request& r) { r.parcels[1]["boundary"][3]["distance_to_next"] = "12.5"; },
       "parcel_data[1].boundary[3].distance_to_next: expected a number, got string \"12.5\""},
      {[](request& r) { r.parcels[1].erase("boundary"); }, "parcel_data[1]: missing key \"boundary\""},
      {[](request& r) { r.roads[0]["geometry"] = json::object(); },
       "road_data[0].geometry: missing key \"coordinates\""},
      {[](request& r) { r.roads[0]["geometry"]["coordinates"] = json::parse("[[0, 0]]"); },
       "road_data[0].geometry.coordinates: a line needs at least 2 positions, got 1"}};
  for (const auto& [spoil, message] : cases) {
    request r = valid();
    spoil(r);
    try {
      pl::generate_plot(r.parcels, r.selected, r.roads);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const pl::plan_input_error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST(Selection, FirstMatchByValueAcrossIntegerAndReal) {
  request r = valid();
  r.parcels.push_back(parcel(5071, square(10, {500, 500}), boundary_of(square(10, {500, 500}))));
  const auto p = layout(r.parcels, json::parse("5071.0"));
  const auto& ring = std::get<pl::polygon_shape>(p.items[3].shape).ring;  // roads none; 3 parcels, then selected
  EXPECT_EQ(p.items[3].kind, pl::item_kind::selected_parcel);
  EXPECT_EQ(ring[1].x, 100);  // the first 5071, not the one at (500, 500)
}

TEST(Selection, OpenAndClosedRingsAreTheSameParcel) {
  request r = valid();
  json open = r.parcels;
  open[1]["geometry"]["coordinates"][0] = ring_json(square(), false);
  const auto closed_plan = layout(r.parcels, 5071);
  const auto open_plan = layout(open, 5071);
  EXPECT_EQ(pl::render_png(closed_plan), pl::render_png(open_plan));
}

}  // namespace
