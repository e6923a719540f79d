// A scrape: the sum of every worker's block, family by family, serialised by prometheus-cpp's
// text serializer.
#include <limits>
#include <sstream>

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include "host/metrics/shared_metrics.hpp"

namespace host::metrics {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricType type_of(family_type t) {
  switch (t) {
    case family_type::counter: return MetricType::Counter;
    case family_type::gauge: return MetricType::Gauge;
    default: return MetricType::Histogram;
  }
}

// Every cell summed over the workers; blocks are read once each.
std::vector<std::uint64_t> summed_cells(const shared_region& region) {
  std::vector<std::uint64_t> sums(region.families().cells(), 0);
  for (std::size_t w = 0; w < region.workers(); ++w) {
    const cell* block = region.block(w);
    for (std::size_t c = 0; c < sums.size(); ++c) sums[c] += block[c].load(std::memory_order_relaxed);
  }
  return sums;
}

// The value of each label of a family by slot; an empty string for a slot with no name.
std::vector<std::vector<std::string>> label_values(const family& f, const late_label_values& named_now) {
  std::vector<std::vector<std::string>> values;
  for (const auto& l : f.labels) {
    if (!l.values.empty()) {
      values.push_back(l.values);
      continue;
    }
    std::vector<std::string> named;
    for (const auto& [name, given] : named_now)
      if (name == l.name) named = given;
    named.resize(l.slots);
    values.push_back(std::move(named));
  }
  return values;
}

ClientMetric series_metric(const family& f, const std::uint64_t* cells) {
  ClientMetric m;
  switch (f.type) {
    case family_type::counter: m.counter.value = static_cast<double>(cells[0]) * f.scale; break;
    // Gauges are signed: the sum of their two's complement cells is the sum of the values.
    case family_type::gauge: m.gauge.value = static_cast<double>(static_cast<std::int64_t>(cells[0])); break;
    case family_type::histogram: {
      const std::uint64_t count = cells[LATENCY_BOUNDS.size()];
      m.histogram.sample_count = count;
      m.histogram.sample_sum = static_cast<double>(cells[LATENCY_BOUNDS.size() + 1]) / 1e9;
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i < LATENCY_BOUNDS.size(); ++i) {
        cumulative += cells[i];
        m.histogram.bucket.push_back({cumulative, LATENCY_BOUNDS[i]});
      }
      m.histogram.bucket.push_back({count, std::numeric_limits<double>::infinity()});
      break;
    }
  }
  return m;
}

bool written(const family& f, const std::uint64_t* cells) {
  return f.type == family_type::histogram ? cells[LATENCY_BOUNDS.size()] != 0 : cells[0] != 0;
}

MetricFamily exposition(const family& f, const std::vector<std::uint64_t>& sums, const late_label_values& named_now) {
  MetricFamily out;
  out.name = f.name;
  out.help = f.help;
  out.type = type_of(f.type);
  const auto values = label_values(f, named_now);
  const std::size_t per_series = f.cells_per_series();
  for (std::size_t s = 0; s < f.series(); ++s) {
    const std::uint64_t* cells = sums.data() + f.first_cell + s * per_series;
    if (f.only_written && !written(f, cells)) continue;
    // The series' label values, from its index (row-major, the last label fastest).
    std::vector<ClientMetric::Label> labels(f.labels.size());
    bool named = true;
    for (std::size_t l = f.labels.size(), rest = s; l-- > 0;) {
      const std::size_t slot = rest % f.labels[l].slots;
      rest /= f.labels[l].slots;
      labels[l] = {f.labels[l].name, values[l][slot]};
      named = named && !labels[l].value.empty();
    }
    if (!named) continue;
    auto m = series_metric(f, cells);
    m.label = std::move(labels);
    out.metric.push_back(std::move(m));
  }
  return out;
}

MetricFamily single(std::string name, std::string help, MetricType type, double value) {
  MetricFamily f;
  f.name = std::move(name);
  f.help = std::move(help);
  f.type = type;
  ClientMetric m;
  (type == MetricType::Gauge ? m.gauge.value : m.counter.value) = value;
  f.metric.push_back(std::move(m));
  return f;
}

}  // namespace

std::string scrape(const shared_region& region, const late_label_values& named_now) {
  const auto sums = summed_cells(region);
  std::vector<MetricFamily> out;
  for (const auto& f : region.families().families()) out.push_back(exposition(f, sums, named_now));
  out.push_back(single("mapsvc_worker_restarts_total", "Worker processes started again after one died.",
                       MetricType::Counter,
                       static_cast<double>(region.header().worker_restarts.load(std::memory_order_relaxed))));
  out.push_back(single("mapsvc_workers", "Worker processes configured.", MetricType::Gauge,
                       static_cast<double>(region.workers())));

  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, out);
  return std::move(text).str();
}

}  // namespace host::metrics
