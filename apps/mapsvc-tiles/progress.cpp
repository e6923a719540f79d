#include "progress.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace mapsvc::tiles {

void rate_window::sample(std::chrono::steady_clock::time_point at, std::uint64_t done) {
  samples_.emplace_back(at, done);
  // Keep one sample older than the span, so that the window always covers it whole.
  while (samples_.size() > 2 && samples_[1].first <= at - span_) samples_.pop_front();
}

std::optional<double> rate_window::per_second() const {
  if (samples_.size() < 2) return std::nullopt;
  const auto& [t0, d0] = samples_.front();
  const auto& [t1, d1] = samples_.back();
  const double seconds = std::chrono::duration<double>(t1 - t0).count();
  if (seconds < 1.0) return std::nullopt;
  return static_cast<double>(d1 - d0) / seconds;
}

std::optional<double> seconds_left(std::uint64_t left, std::optional<double> rate) {
  if (left == 0) return 0.0;
  if (!rate || *rate <= 0) return std::nullopt;
  return static_cast<double>(left) / *rate;
}

std::string format_duration(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return "?";
  const auto s = static_cast<std::uint64_t>(std::llround(*seconds));
  if (s < 60) return fmt::format("{}s", s);
  if (s < 3600) return fmt::format("{}m{:02}s", s / 60, s % 60);
  return fmt::format("{}h{:02}m", s / 3600, s / 60 % 60);
}

std::string format_bytes(std::uint64_t bytes) {
  if (bytes < 1024) return fmt::format("{} B", bytes);
  constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = -1;
  while (v >= 1024 && u < 3) {
    v /= 1024;
    ++u;
  }
  return fmt::format("{:.1f} {}", v, units[u]);
}

namespace {

double percent(const progress_view& v) {
  return v.total == 0 ? 100.0 : 100.0 * static_cast<double>(std::min(v.done, v.total)) / static_cast<double>(v.total);
}

std::string rate_text(const progress_view& v) {
  return v.tiles_per_second ? fmt::format("{:.0f} tiles/s", *v.tiles_per_second) : "? tiles/s";
}

}  // namespace

std::string format_bar(const progress_view& v, int width) {
  std::string tail = fmt::format(" {:5.1f}% {}/{} {} ETA {}", percent(v), v.done, v.total, rate_text(v),
                                 format_duration(v.eta_seconds));
  if (v.counts.failed > 0) tail += fmt::format(" {} failed", v.counts.failed);
  const int room = width - static_cast<int>(tail.size()) - 2;
  if (room < 10) return tail.substr(1, static_cast<std::size_t>(std::max(0, width)));
  const int filled = static_cast<int>(std::floor(percent(v) / 100.0 * room));
  return "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(room - filled), '.') +
         "]" + tail;
}

std::string format_line(const progress_view& v) {
  std::string out = fmt::format("{}: {:.1f}% ({}/{}) {}, ETA {}", v.command, percent(v), v.done, v.total, rate_text(v),
                                format_duration(v.eta_seconds));
  if (v.counts.failed > 0) out += fmt::format(", {} failed", v.counts.failed);
  return out;
}

}  // namespace mapsvc::tiles
