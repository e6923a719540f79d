#include <printsvc/plots/plots.hpp>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>
#include <tuple>

namespace pl = printsvc::plots;

namespace {

TEST(Scale, PicksTheSmallestStandardScaleThatFits) {
  const std::tuple<double, double, int> cases[] = {
      {30, 30, 250},     {60, 40, 500},      // 160 mm high at 1:250, over 152
      {277, 100, 2000},                      // raw scale exactly 1000: 1000 is skipped
      {300, 200, 2000},  {10, 152, 1000},    // exactly at the height limit at 1:1000
      {10, 152.01, 2000}, {6000, 10, 25000},
      {5000, 5000, 33000},                   // beyond 1:25000, height-bound, rounded up
      {10000, 100, 38000}};                  // width-bound
  for (const auto& [w, h, expected] : cases) {
    EXPECT_EQ(pl::get_recommended_scale(w, h), expected) << w << " x " << h;
    EXPECT_EQ(pl::get_recommended_scale(w, h, 297, 210), expected) << "the sheet is always taken in landscape";
  }
}

TEST(Scale, RejectsNonPositiveSurveysAndSheets) {
  for (const auto& [w, h] : {std::pair{0.0, 10.0}, {10.0, 0.0}, {-5.0, 10.0}, {10.0, -1.0}}) {
    try {
      pl::get_recommended_scale(w, h);
      ADD_FAILURE() << w << " x " << h << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Survey dimensions must be positive.");
    }
  }
  EXPECT_THROW(pl::get_recommended_scale(10, 10, 20, 297, 10), std::invalid_argument);  // no usable height
  EXPECT_THROW(pl::get_recommended_scale(10, 10, 210, 297, 150), std::invalid_argument);
  EXPECT_THROW(pl::get_recommended_scale(1e12, 10), std::invalid_argument);  // no int holds the scale
}

TEST(Scale, LogsTheSearchAndItsOutcome) {
  std::ostringstream lines;
  spdlog::drop("printsvc.plots");
  auto logger =
      std::make_shared<spdlog::logger>("printsvc.plots", std::make_shared<spdlog::sinks::ostream_sink_mt>(lines));
  logger->set_pattern("%v");
  spdlog::register_logger(logger);
  const auto log_of = [&](double w, double h) {
    lines.str("");
    try {
      pl::get_recommended_scale(w, h);
    } catch (const std::invalid_argument&) {
    }
    return lines.str();
  };
  EXPECT_EQ(log_of(60, 40), "Searching for recommended scale...\nFound scale: 500\n");
  // The raw scale in full when no standard scale fits.
  EXPECT_EQ(log_of(5000, 5000), "Searching for recommended scale...\nFinal raw scale: 32894.73684210526\n");
  EXPECT_EQ(log_of(-1, 5), "Searching for recommended scale...\n");  // refused after the first line
  spdlog::drop("printsvc.plots");
}

}  // namespace
