// Hostile records: oversized, non-finite or costly input ends in a short, precise error in
// bounded time, never in a crash, a huge allocation or a render that runs on.

#include "layout.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <type_traits>

namespace {

using namespace plots_test;
using namespace std::chrono_literals;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct request {
  json parcels;
  json roads;
  json box = nullptr;
};

request valid() {
  const auto sq = square();
  return {json::array({parcel(5070, square(100, {100, 0})), parcel(5071, sq, boundary_of(sq))}),
          json::array({road({{-50, -10}, {250, -10}})})};
}

json repeated(std::size_t n, const json& item) { return json(json::array_t(n, item)); }

std::string times(std::size_t n, std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string ethiopic(std::size_t n) { return times(n, "ኢ"); }  // three bytes a character

void expect_refused(const std::function<void(request&)>& spoil, const std::string& message) {
  request r = valid();
  spoil(r);
  try {
    pl::generate_plot(r.parcels, 5071, r.roads, "parcel_number", r.box);
    ADD_FAILURE() << "accepted: " << message;
  } catch (const pl::plan_input_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(Limits, PrintedTextsAreCountedInCharactersAndRefusedPastTwoHundred) {
  const std::pair<std::function<void(request&)>, std::string> cases[] = {
      {[](request& r) { r.parcels[1]["name"] = std::string(201, 'W'); },
       "parcel_data[1].name: at most 200 characters, got 201"},
      {[](request& r) { r.parcels[1]["name"] = ethiopic(201); }, "parcel_data[1].name: at most 200 characters, got 201"},
      {[](request& r) { r.parcels[1]["name"] = std::string(1 << 20, 'W'); },
       "parcel_data[1].name: at most 200 characters, got 1048576"},
      {[](request& r) { r.parcels[1]["boundary"][2]["beacon_name"] = std::string(300, 'P'); },
       "parcel_data[1].boundary[2].beacon_name: at most 200 characters, got 300"},
      {[](request& r) { r.parcels[1]["boundary"][0]["bearing_deg_to_next"] = std::string(201, '4'); },
       "parcel_data[1].boundary[0].bearing_deg_to_next: at most 200 characters, got 201"},
      {[](request& r) { r.parcels[1]["boundary"][3]["bearing_min_to_next"] = std::string(201, '3'); },
       "parcel_data[1].boundary[3].bearing_min_to_next: at most 200 characters, got 201"},
      // Numbers printed with two decimals and their unit: "1000...0.00m" and "...m²".
      {[](request& r) { r.parcels[1]["boundary"][1]["distance_to_next"] = 1e200; },
       "parcel_data[1].boundary[1].distance_to_next: at most 200 characters, got 204"},
      {[](request& r) { r.parcels[1]["area"] = 1e300; }, "parcel_data[1].area: at most 200 characters, got 306"}};
  for (const auto& [spoil, message] : cases) expect_refused(spoil, message);

  // Exactly at the limit, in characters of three bytes each, the text is drawn as given.
  request r = valid();
  r.parcels[1]["name"] = ethiopic(200);
  EXPECT_EQ(texts(layout(r.parcels, 5071), pl::item_kind::parcel_name).at(0).text, ethiopic(200));
  EXPECT_NO_THROW(pl::render_png(layout(r.parcels, 5071)));
}

TEST(Limits, SizesAreRefusedBeforeTheirRecordsAreRead) {
  // The oversized arrays hold nulls: reading any element would fail differently.
  const std::pair<std::function<void(request&)>, std::string> cases[] = {
      {[](request& r) { r.parcels = repeated(5001, nullptr); }, "parcel_data: at most 5000 records, got 5001"},
      {[](request& r) { r.roads = repeated(5001, nullptr); }, "road_data: at most 5000 roads, got 5001"},
      {[](request& r) { r.parcels[0]["geometry"]["coordinates"][0] = repeated(5001, nullptr); },
       "parcel_data[0].geometry.coordinates[0]: at most 5000 positions in a ring, got 5001"},
      {[](request& r) { r.roads[0]["geometry"]["coordinates"] = repeated(5001, nullptr); },
       "road_data[0].geometry.coordinates: at most 5000 positions in a line, got 5001"},
      {[](request& r) { r.parcels[1]["boundary"] = repeated(5001, nullptr); },
       "parcel_data[1].boundary: at most 5000 entries, got 5001"},
      // 39 rings of 5000 positions and 5000 in a road: 200000 in all, then the boundary's 4.
      {[](request& r) {
         json ring = repeated(4999, json::array({50, 50}));
         ring.push_back({0, 0});
         for (int i = 0; i < 39; ++i) r.parcels.push_back(parcel(9000 + i, {{0, 0}, {1, 0}, {1, 1}}));
         for (std::size_t i = 2; i < r.parcels.size(); ++i) r.parcels[i]["geometry"]["coordinates"][0] = ring;
         r.roads[0]["geometry"]["coordinates"] = repeated(4990, json::array({50, 50}));  // 10 in the two squares
       },
       "parcel_data[1].boundary: more than 200000 positions in all the records"}};
  for (const auto& [spoil, message] : cases) expect_refused(spoil, message);
}

TEST(Limits, NonFiniteNumbersAreRefusedWhereTheyStand) {
  for (const double bad : {nan, inf, -inf}) {
    const std::string got = std::isnan(bad) ? "nan" : bad > 0 ? "inf" : "-inf";
    const std::pair<std::function<void(request&)>, std::string> cases[] = {
        {[&](request& r) { r.parcels[0]["geometry"]["coordinates"][0][1][0] = bad; },
         "parcel_data[0].geometry.coordinates[0][1][0]"},
        {[&](request& r) { r.parcels[1]["geometry"]["coordinates"][0][2][1] = bad; },
         "parcel_data[1].geometry.coordinates[0][2][1]"},
        {[&](request& r) { r.roads[0]["geometry"]["coordinates"][1][1] = bad; }, "road_data[0].geometry.coordinates[1][1]"},
        {[&](request& r) { r.parcels[1]["boundary"][3]["geometry"]["coordinates"][0] = bad; },
         "parcel_data[1].boundary[3].geometry.coordinates[0]"},
        {[&](request& r) { r.parcels[1]["boundary"][1]["distance_to_next"] = bad; },
         "parcel_data[1].boundary[1].distance_to_next"},
        {[&](request& r) { r.parcels[1]["area"] = bad; }, "parcel_data[1].area"},
        {[&](request& r) {
           r.box = {{"minx", 0}, {"maxx", 100}, {"miny", 0}, {"maxy", bad}, {"srid", 26332}};
         },
         "bounding_box.maxy"}};
    for (const auto& [spoil, where] : cases) expect_refused(spoil, where + ": expected a finite number, got " + got);
  }
}

TEST(Limits, ExtentsBeyondAnyScaleAreInputErrorsNamingTheField) {
  expect_refused(
      [](request& r) {
        r.parcels[1]["geometry"]["coordinates"][0][0] = {-1.7e308, -1.7e308};
        r.parcels[1]["geometry"]["coordinates"][0][2] = {1.7e308, 1.7e308};
      },
      "parcel_data[1].geometry.coordinates[0]: Survey dimensions must be finite.");
  expect_refused([](request& r) { r.parcels[1]["geometry"]["coordinates"][0][2] = {1e300, 1e300}; },
                 "parcel_data[1].geometry.coordinates[0]: Survey dimensions are too large for any printable scale.");
  expect_refused([](request& r) { r.box = {{"minx", -1e300}, {"maxx", 1e300}, {"miny", 0}, {"maxy", 1}, {"srid", 26332}}; },
                 "bounding_box: Survey dimensions are too large for any printable scale.");
}

TEST(Limits, MessagesQuoteOnlyTheBeginningOfAValue) {
  const std::string huge(1 << 20, 'x');
  request r = valid();
  const auto message = [&](const json& selected, std::string_view columnname = "parcel_number") {
    try {
      pl::plan_layout(r.parcels, selected, r.roads, columnname);
    } catch (const pl::plan_input_error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message(huge), "parcel_data: no parcel with parcel_number \"" + std::string(59, 'x') + "…");
  EXPECT_EQ(message(repeated(100000, 1)), "parcel_data: no parcel with parcel_number [" + times(29, "1,") + "1…");
  EXPECT_EQ(message(1, huge), "parcel_data[0]: missing key \"" + std::string(60, 'x') + "…\"");
  r.parcels[1]["geometry"]["coordinates"][0][0][0] = huge;
  EXPECT_EQ(message(5071), "parcel_data[1].geometry.coordinates[0][0][0]: expected a number, got string \"" +
                               std::string(59, 'x') + "…");
  expect_refused([&](request& q) { q.box = {{"minx", 0}, {"maxx", 1}, {"miny", 0}, {"maxy", 1}, {"srid", huge}}; },
                 "bounding_box.srid: expected an EPSG code, got string \"" + std::string(59, 'x') + "…");
  // A code-built record may hold broken UTF-8; quoting it is no reason to fail otherwise.
  r.parcels[1]["geometry"]["coordinates"][0][0][0] = "\xff\xfe";
  EXPECT_EQ(message(5071), "parcel_data[1].geometry.coordinates[0][0][0]: expected a number, got string \"\xef\xbf\xbd\xef\xbf\xbd\"");
}

TEST(TimeLimit, ACallOutOfTimeEndsWithItsOwnErrorNotAnInputError) {
  static_assert(!std::is_base_of_v<std::invalid_argument, pl::render_timeout_error>,
                "the server answers input errors apart from plans it had no time to draw");
  const request r = valid();
  EXPECT_THROW(pl::render_png(layout(r.parcels, 5071, r.roads), 0ms), pl::render_timeout_error);
  EXPECT_THROW(pl::generate_plot(r.parcels, 5071, r.roads, "parcel_number", nullptr, 0ms), pl::render_timeout_error);
  EXPECT_THROW(pl::generate_plot(r.parcels, 5071, r.roads, "parcel_number", nullptr, -1ms), pl::render_timeout_error);
  // A limit beyond the clock's range means none.
  EXPECT_NO_THROW(pl::render_png(layout(r.parcels, 5071, r.roads), std::chrono::milliseconds::max()));
}

TEST(TimeLimit, IsCheckedWhileDrawingAndWhileClippingRoads) {
  // Two thousand neighbours each covering the whole page: seconds of filling without a limit.
  request r = valid();
  for (int i = 0; i < 2000; ++i) r.parcels.push_back(parcel(9000 + i, square(2000, {-950, -950})));
  const pl::plan p = layout(r.parcels, 5071);
  EXPECT_THROW(pl::render_png(p, 50ms), pl::render_timeout_error);

  // Laying out checks between roads, the part whose cost the records decide.
  const auto spent = pl::detail::deadline::after(0ms);
  const request v = valid();
  EXPECT_THROW(pl::detail::plan_layout_until(v.parcels, 5071, v.roads, "parcel_number", nullptr, spent),
               pl::render_timeout_error);
  EXPECT_NO_THROW(pl::detail::plan_layout_until(v.parcels, 5071, json::array(), "parcel_number", nullptr, spent));
}

}  // namespace
