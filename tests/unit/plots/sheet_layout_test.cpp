// Page maths of the full sheet: scale bar divisions, grid ticks, the table's pages, where the
// furniture goes, and the facts read from the records.

#include "sheet_layout.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

using namespace plots_test;
namespace d = pl::detail;

bool in_1_2_5_series(double v) {
  const double mantissa = v / std::pow(10.0, std::floor(std::log10(v) + 1e-9));
  for (const double m : {1.0, 2.0, 5.0})
    if (std::abs(mantissa - m) < 1e-6) return true;
  return false;
}

struct bar_case {
  int scale;
  double step_m;
};

class ScaleBar : public ::testing::TestWithParam<bar_case> {};

// A 52 mm bar of four steps: the largest round step that fits, true to scale on paper.
TEST_P(ScaleBar, LargestRoundStepThatFits) {
  const auto bar = d::divide_scale_bar(GetParam().scale, 52);
  EXPECT_DOUBLE_EQ(bar.step_m, GetParam().step_m);
  EXPECT_EQ(bar.divisions, 4);
  EXPECT_NEAR(bar.step_mm, bar.step_m * 1000 / GetParam().scale, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(StandardScales, ScaleBar,
                         ::testing::Values(bar_case{250, 2}, bar_case{500, 5}, bar_case{1000, 10},
                                           bar_case{2000, 20}, bar_case{5000, 50}, bar_case{7500, 50},
                                           bar_case{10000, 100}, bar_case{25000, 200}, bar_case{26000, 200},
                                           bar_case{20, 0.2}),
                         [](const auto& info) { return "at_1_" + std::to_string(info.param.scale); });

TEST(ScaleBarBounds, EveryScaleGivesARoundBarBetweenTwoFifthsAndAllOfTheRoom) {
  for (int scale = 100; scale <= 200000; scale += 37) {
    const auto bar = d::divide_scale_bar(scale, 52);
    const double length = bar.divisions * bar.step_mm;
    ASSERT_TRUE(in_1_2_5_series(bar.step_m)) << scale << ": " << bar.step_m;
    ASSERT_LE(length, 52 + 1e-9) << scale;
    ASSERT_GE(length, 0.4 * 52 - 1e-9) << scale;
  }
  EXPECT_THROW(d::divide_scale_bar(0, 52), std::invalid_argument);
  EXPECT_THROW(d::divide_scale_bar(1000, 0), std::invalid_argument);
}

TEST(GridTicks, RoundValuesAtTheirTruePlaceAwayFromTheCorners) {
  // 1:1000, ticks at least 25 mm apart: every 50 m, the figure's west edge at 337770.
  const auto ticks = d::grid_ticks(337770, 338035.92, 1000, 25, 6);
  ASSERT_EQ(ticks.size(), 5u);
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    EXPECT_DOUBLE_EQ(ticks[i].value_m, 337800 + 50.0 * i);
    EXPECT_NEAR(ticks[i].offset_mm, ticks[i].value_m - 337770, 1e-6);
  }
  // 1:500: 25 mm is 12.5 m, so every 20 m, at 40 mm on paper.
  const auto half = d::grid_ticks(1000, 1100, 500, 25, 6);
  ASSERT_EQ(half.size(), 4u);
  EXPECT_DOUBLE_EQ(half[0].value_m, 1020);
  EXPECT_NEAR(half[1].offset_mm - half[0].offset_mm, 40, 1e-9);
  // Values on the ends (0 and 100) stay off: their labels would meet the corner's.
  const auto ends = d::grid_ticks(0, 100, 1000, 25, 6);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_DOUBLE_EQ(ends[0].value_m, 50);
  // South and west of the origin as well.
  const auto negative = d::grid_ticks(-130, -20, 1000, 25, 6);
  ASSERT_EQ(negative.size(), 2u);
  EXPECT_DOUBLE_EQ(negative[0].value_m, -100);
  EXPECT_TRUE(d::grid_ticks(10, 10, 1000, 25, 6).empty());
}

TEST(TablePages, RowsFitTheSheetOrContinueWithoutGapsOrRepeats) {
  EXPECT_EQ(d::paginate_rows(0, 8, 195).size(), 1u);
  const auto fits = d::paginate_rows(8, 8, 195);
  ASSERT_EQ(fits.size(), 1u);
  EXPECT_EQ(fits[0].count, 8u);
  // One row more than fits: the sheet keeps a line for "continued", so 7 stay and 2 go on.
  const auto over = d::paginate_rows(9, 8, 195);
  ASSERT_EQ(over.size(), 2u);
  EXPECT_EQ(over[0].count, 7u);
  EXPECT_EQ(over[1].first, 7u);
  EXPECT_EQ(over[1].count, 2u);
  const auto many = d::paginate_rows(400, 8, 195);
  ASSERT_EQ(many.size(), 4u);
  std::size_t next = 0;
  for (const auto& r : many) {
    EXPECT_EQ(r.first, next);
    EXPECT_LE(r.count, 195u);
    next += r.count;
  }
  EXPECT_EQ(next, 400u);
  EXPECT_THROW(d::paginate_rows(9, 8, 0), std::invalid_argument);
}

TEST(SheetFrame, FurnitureStaysOffTheFigureAndInsideTheBorder) {
  // The full page area of parcel mode, and a narrow bounding box's.
  for (const auto& [w, h] : {std::pair{265.92, 152.0}, std::pair{80.0, 152.0}, std::pair{265.92, 40.0}}) {
    const auto f = d::frame_sheet(w, h);
    EXPECT_NEAR(f.figure.left + w / 2, 297.0 / 2, 1e-9);
    const d::rect_mm furniture[] = {f.title, f.north_arrow, f.scale_bar, f.table};
    for (std::size_t i = 0; i < std::size(furniture); ++i) {
      EXPECT_FALSE(d::overlaps(furniture[i], f.figure)) << i;
      EXPECT_GE(furniture[i].left, f.border.left);
      EXPECT_LE(furniture[i].right(), f.border.right());
      EXPECT_LE(furniture[i].bottom(), f.border.bottom());
      // Room for the tick labels under the figure.
      EXPECT_GE(furniture[i].top - f.figure.bottom(), 6) << i;
      for (std::size_t j = i + 1; j < std::size(furniture); ++j) EXPECT_FALSE(d::overlaps(furniture[i], furniture[j]));
    }
    EXPECT_GE(f.figure.top - f.border.top, 6);
    EXPECT_GE(f.figure.left - f.border.left, 6);
  }
}

TEST(FitChars, CutsWithAnEllipsisAndNeverInsideACharacter) {
  EXPECT_EQ(d::fit_chars("Plot 12", 7), "Plot 12");
  EXPECT_EQ(d::fit_chars("Plot 123", 7), "Plot 1\u2026");
  EXPECT_EQ(d::fit_chars("\u1200\u1201\u1202", 2), "\u1200\u2026");
  EXPECT_EQ(d::fit_chars("abc", 0), "");
  EXPECT_GT(d::chars_fitting(50, 6.5), 20u);
}

json sheet_parcels(std::size_t beacons = 4) {
  std::vector<pl::point> ring;
  for (std::size_t i = 0; i < beacons; ++i) {
    const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(beacons);
    ring.push_back({50 + 50 * std::cos(a), 50 + 50 * std::sin(a)});
  }
  json boundary = boundary_of(ring);
  json selected = parcel(1, ring, boundary, "Plot 1", 7853.98);
  selected["land_use"] = "Residential";
  selected["file_no"] = "F-12";
  selected["status"] = nullptr;
  selected["survey"] = json::object();
  return json::array({parcel(2, square(100, {100, 0})), selected});
}

TEST(SheetFacts, ReadsTheTitleBlockAndBeaconsFromTheSelectedRecord) {
  const auto facts = pl::read_sheet_facts(sheet_parcels(), 1, "parcel_number", {{"file_no", "status"}, "2026-01-02"});
  EXPECT_EQ(facts.parcel_number, "1");
  EXPECT_EQ(facts.title, "Plot 1");
  EXPECT_EQ(facts.area, "7853.98 m²");
  EXPECT_EQ(facts.land_use, "Residential");
  ASSERT_EQ(facts.fields.size(), 2u);
  EXPECT_EQ(facts.fields[0], (std::pair<std::string, std::string>{"file_no", "F-12"}));
  EXPECT_EQ(facts.fields[1].second, "-");  // null
  EXPECT_EQ(facts.date, "2026-01-02");
  ASSERT_EQ(facts.beacons.size(), 4u);
  EXPECT_EQ(facts.beacons[1].name, "P2");
  EXPECT_NEAR(facts.beacons[1].northing, 100, 1e-9);
  // Without a date, today's.
  EXPECT_EQ(pl::read_sheet_facts(sheet_parcels(), 1, "parcel_number", {}).date.size(), 10u);
}

TEST(SheetFacts, FieldNamesAreBoundedAndMustNameScalarsOfTheRecord) {
  const auto refused = [](std::vector<std::string> fields, const std::string& why) {
    try {
      pl::read_sheet_facts(sheet_parcels(), 1, "parcel_number", {std::move(fields), ""});
      ADD_FAILURE() << "accepted: " << why;
    } catch (const pl::plan_input_error& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  };
  refused({"a", "b", "c", "d", "e", "f", "g"}, "sheet_fields: at most 6 fields, got 7");
  refused({std::string(65, 'k')}, "sheet_fields[0]: at most 64 characters");
  refused({""}, "cannot be empty");
  refused({"bad\nkey"}, "control characters");
  refused({"no_such_column"}, "parcel_data[1] has no key \"no_such_column\"");
  refused({"survey"}, "parcel_data[1].survey: expected text, a number");
}

TEST(ComposeSheet, ContinuesTheTableOnPagesOnlyWhereThereArePages) {
  const auto parcels = sheet_parcels(150);
  const auto p = layout(parcels, 1);
  const auto facts = pl::read_sheet_facts(parcels, 1, "parcel_number", {});
  const auto page = d::compose_sheet(p.page, facts, true);
  ASSERT_EQ(page.size(), 2u);  // 7 on the sheet, 143 on the next page
  const auto has = [](const d::sheet_page& s, const std::string& text) {
    for (const auto& t : s.texts)
      if (t.text == text) return true;
    return false;
  };
  EXPECT_TRUE(has(page[0], "continued on page 2"));
  EXPECT_TRUE(has(page[0], "Scale: 1 : " + std::to_string(p.page.scale)));
  EXPECT_TRUE(has(page[1], "P150"));
  EXPECT_FALSE(has(page[0], "P8"));
  const auto single = d::compose_sheet(p.page, facts, false);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_TRUE(has(single[0], "and 143 more beacons (PDF sheet)"));
}

}  // namespace
