#include "host/metrics/registry.hpp"

#include <algorithm>
#include <stdexcept>

namespace host::metrics {

std::size_t family::series() const {
  std::size_t n = 1;
  for (const auto& l : labels) n *= l.slots;
  return n;
}

std::size_t family::cells_per_series() const {
  return type == family_type::histogram ? LATENCY_BOUNDS.size() + 2 : 1;
}

void histogram::record(std::chrono::nanoseconds d, bool shared) const noexcept {
  if (!first_) return;
  const auto add = [shared](cell& c, std::uint64_t n) {
    if (shared)
      c.fetch_add(n, std::memory_order_relaxed);
    else
      c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  };
  const double seconds = std::chrono::duration<double>(d).count();
  // Linear: fourteen comparisons at most, usually a handful.
  for (std::size_t i = 0; i < LATENCY_BOUNDS.size(); ++i) {
    if (seconds <= LATENCY_BOUNDS[i]) {
      add(first_[i], 1);
      break;
    }
  }
  add(first_[LATENCY_BOUNDS.size()], 1);
  add(first_[LATENCY_BOUNDS.size() + 1], static_cast<std::uint64_t>(std::max<std::int64_t>(0, d.count())));
}

const family& registry::add(family f) {
  if (f.labels.size() > 3) throw std::invalid_argument("a metric family has at most three labels: " + f.name);
  for (const auto& existing : families_)
    if (existing.name == f.name) throw std::invalid_argument("metric family declared twice: " + f.name);
  f.first_cell = cells_;
  cells_ += f.series() * f.cells_per_series();
  return families_.emplace_back(std::move(f));
}

counter_family registry::add_counter(std::string name, std::string help, std::vector<label> labels, bool only_written,
                                     double scale) {
  return add({.name = std::move(name), .help = std::move(help), .type = family_type::counter,
              .labels = std::move(labels), .scale = scale, .only_written = only_written});
}

gauge_family registry::add_gauge(std::string name, std::string help) {
  return add({.name = std::move(name), .help = std::move(help), .type = family_type::gauge, .labels = {}});
}

histogram_family registry::add_histogram(std::string name, std::string help, std::vector<label> labels,
                                         bool only_written) {
  return add({.name = std::move(name), .help = std::move(help), .type = family_type::histogram,
              .labels = std::move(labels), .only_written = only_written});
}

}  // namespace host::metrics
