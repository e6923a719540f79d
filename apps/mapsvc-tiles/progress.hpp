#pragma once
// Progress of a seed run: the recent rate and the time left, and how they are shown.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "resume_state.hpp"

namespace mapsvc::tiles {

// The rate over a sliding window of samples (a run's speed changes with the data under it, so
// the time left follows the recent pace, not the average since the start).
class rate_window {
 public:
  explicit rate_window(std::chrono::milliseconds span = std::chrono::seconds(30)) : span_(span) {}
  // `done` units by `at` (never decreasing).
  void sample(std::chrono::steady_clock::time_point at, std::uint64_t done);
  // Units per second over the window; none until two samples a second apart.
  std::optional<double> per_second() const;

 private:
  std::chrono::milliseconds span_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> samples_;
};

// Seconds left for `left` units at `rate` units per second; none without a rate.
std::optional<double> seconds_left(std::uint64_t left, std::optional<double> rate);

// "45s", "12m05s", "3h02m"; "?" for none.
std::string format_duration(std::optional<double> seconds);
// "812 B", "1.5 KiB", "20.3 MiB", "1.2 GiB".
std::string format_bytes(std::uint64_t bytes);

struct progress_view {
  const char* command = "seed";       // the run the line is about
  std::uint64_t done = 0, total = 0;  // walk units: tiles built and tiles skipped below empty ones
  std::uint64_t tiles = 0;            // tiles built (statements run)
  std::optional<double> tiles_per_second;
  std::optional<double> eta_seconds;
  seed_counts counts;
};

// One terminal line of `width` columns: "[#####.....]  42.0% 1234/5000 812 tiles/s ETA 3m02s".
std::string format_bar(const progress_view& v, int width);
// A plain line for logs: "seed: 42.0% (2100/5000) 812 tiles/s, ETA 3m02s, 1 failed".
std::string format_line(const progress_view& v);

}  // namespace mapsvc::tiles
