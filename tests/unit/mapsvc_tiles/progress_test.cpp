#include <gtest/gtest.h>

#include "progress.hpp"

namespace mapsvc::tiles {
namespace {

using namespace std::chrono_literals;

TEST(RateWindow, FollowsTheRecentPace) {
  rate_window w(10s);
  const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
  EXPECT_FALSE(w.per_second());
  w.sample(t0, 0);
  w.sample(t0 + 500ms, 50);
  EXPECT_FALSE(w.per_second());  // under a second: no rate yet
  for (int s = 1; s <= 20; ++s) w.sample(t0 + std::chrono::seconds(s), static_cast<std::uint64_t>(100 * s));
  EXPECT_NEAR(*w.per_second(), 100.0, 1e-9);
  // Then it slows to 10/s: after a window's worth the rate is the new one, not the average.
  for (int s = 21; s <= 40; ++s) w.sample(t0 + std::chrono::seconds(s), 2000u + static_cast<std::uint64_t>(10 * (s - 20)));
  EXPECT_NEAR(*w.per_second(), 10.0, 1e-9);
  EXPECT_NEAR(*seconds_left(1000, w.per_second()), 100.0, 1e-9);
  EXPECT_EQ(seconds_left(0, std::nullopt), 0.0);
  EXPECT_FALSE(seconds_left(5, 0.0));
}

TEST(Formatting, DurationsBytesLinesAndBars) {
  EXPECT_EQ(format_duration(std::nullopt), "?");
  EXPECT_EQ(format_duration(44.6), "45s");
  EXPECT_EQ(format_duration(725), "12m05s");
  EXPECT_EQ(format_duration(3 * 3600 + 125), "3h02m");
  EXPECT_EQ(format_bytes(812), "812 B");
  EXPECT_EQ(format_bytes(1536), "1.5 KiB");
  EXPECT_EQ(format_bytes(5ull << 30), "5.0 GiB");

  progress_view v;
  v.done = 2100;
  v.total = 5000;
  v.tiles_per_second = 812;
  v.eta_seconds = 182;
  EXPECT_EQ(format_line(v), "seed: 42.0% (2100/5000) 812 tiles/s, ETA 3m02s");
  v.counts.failed = 2;
  EXPECT_EQ(format_line(v), "seed: 42.0% (2100/5000) 812 tiles/s, ETA 3m02s, 2 failed");
  for (const int width : {60, 80, 200}) {
    const auto bar = format_bar(v, width);
    EXPECT_EQ(bar.size(), static_cast<std::size_t>(width)) << bar;
    EXPECT_NE(bar.find("ETA 3m02s"), std::string::npos);
  }
  EXPECT_LE(format_bar(v, 20).size(), 20u);  // too narrow for a bar: the figures, cut
  v.done = 6000;  // skipped branches never push it past the end
  EXPECT_NE(format_line(v).find("100.0%"), std::string::npos);
}

}  // namespace
}  // namespace mapsvc::tiles
