#pragma once
// The metric families of the service, declared by the parts that count them.
//
// Every part of the service declares its families here before the worker processes are forked
// (name, help, type, labels); each series of each family gets fixed cells in every worker's
// block of the shared region (see shared_metrics.hpp), and the declaration hands back a family
// handle that knows where. A worker binds the handles to its own block and writes through them
// without locks; a scrape walks the families in the order they were declared.
//
// Label values come from short fixed lists given with the declaration (layers, methods, known
// statuses), or from a list named at scrape time (the route templates, known once every
// router is mounted), never from request text.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::metrics {

// One cell holds one value of one worker. Each has one writer, so a plain load and store (no
// locked instruction) is enough and readers in other processes see whole values.
using cell = std::atomic<std::uint64_t>;
static_assert(cell::is_always_lock_free, "metric cells must work across processes");

// Upper bounds, in seconds, of the buckets of every histogram.
inline constexpr std::array<double, 14> LATENCY_BOUNDS{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,    0.25,  0.5,    1.0,   2.5,   5.0,  10.0};

enum class family_type { counter, gauge, histogram };

// One label of a family. Its values are listed, or it has `slots` values named at scrape time.
struct label {
  label(std::string name, std::vector<std::string> values)
      : name(std::move(name)), values(std::move(values)), slots(this->values.size()) {}
  label(std::string name, std::size_t slots_named_later) : name(std::move(name)), slots(slots_named_later) {}
  std::string name;
  std::vector<std::string> values;  // empty: named at scrape time
  std::size_t slots;
};

struct family {
  std::string name;
  std::string help;
  family_type type = family_type::counter;
  std::vector<label> labels;  // at most three; series in row-major order of their values
  // Counters in other units than they are shown (nanoseconds shown as seconds: 1e-9).
  double scale = 1.0;
  // Series that were never written are left out of a scrape (requests by route, method and
  // status: most of the combinations never happen).
  bool only_written = false;
  std::size_t first_cell = 0;

  std::size_t series() const;
  std::size_t cells_per_series() const;
};

// The cells of one series of one family in one worker's block. Unbound (no cells) when the
// family was not declared or the index was out of range: then writes count nothing.
class counter {
 public:
  counter() = default;
  explicit counter(cell* c) : cell_(c) {}
  // Only the worker's event loop writes this series.
  void add(std::uint64_t n = 1) const noexcept {
    if (cell_) cell_->store(cell_->load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  // Several threads of the worker write this series.
  void add_shared(std::uint64_t n = 1) const noexcept {
    if (cell_) cell_->fetch_add(n, std::memory_order_relaxed);
  }
  // Sets a counter the writer keeps itself (it must never go back).
  void set(std::uint64_t v) const noexcept {
    if (cell_) cell_->store(v, std::memory_order_relaxed);
  }
  std::uint64_t get() const noexcept { return cell_ ? cell_->load(std::memory_order_relaxed) : 0; }

 private:
  cell* cell_ = nullptr;
};

class gauge {
 public:
  gauge() = default;
  explicit gauge(cell* c) : cell_(c) {}
  void set(std::int64_t v) const noexcept {
    if (cell_) cell_->store(static_cast<std::uint64_t>(v), std::memory_order_relaxed);
  }

 private:
  cell* cell_ = nullptr;
};

// Cells: one per bucket (not cumulative; beyond the last bucket only the count), the count, and
// the sum in nanoseconds.
class histogram {
 public:
  histogram() = default;
  explicit histogram(cell* first) : first_(first) {}
  void observe(std::chrono::nanoseconds d) const noexcept { record(d, false); }
  void observe_shared(std::chrono::nanoseconds d) const noexcept { record(d, true); }  // from any thread

 private:
  void record(std::chrono::nanoseconds d, bool shared) const noexcept;
  cell* first_ = nullptr;
};

// What a declaration hands back: where the family's series are. `bound_to` a worker's cells,
// `at` gives the series of the label values at those indices.
template <class Series>
class family_handle {
 public:
  family_handle() = default;
  family_handle(const family& f) : first_cell_(f.first_cell), cells_per_series_(f.cells_per_series()) {
    for (std::size_t i = 0; i < f.labels.size() && i < dims_.size(); ++i) dims_[i] = f.labels[i].slots;
  }

  family_handle bound_to(cell* block) const {
    family_handle bound = *this;
    bound.cells_ = block ? block + first_cell_ : nullptr;
    return bound;
  }
  Series at(std::size_t i = 0, std::size_t j = 0, std::size_t k = 0) const noexcept {
    if (!cells_ || i >= dims_[0] || j >= dims_[1] || k >= dims_[2]) return Series();
    return Series(cells_ + ((i * dims_[1] + j) * dims_[2] + k) * cells_per_series_);
  }

 private:
  cell* cells_ = nullptr;
  std::size_t first_cell_ = 0;
  std::size_t cells_per_series_ = 1;
  std::array<std::size_t, 3> dims_{1, 1, 1};
};

using counter_family = family_handle<counter>;
using gauge_family = family_handle<gauge>;
using histogram_family = family_handle<histogram>;

// The families, in the order a scrape shows them. Filled before the shared region is made.
class registry {
 public:
  counter_family add_counter(std::string name, std::string help, std::vector<label> labels = {},
                             bool only_written = false, double scale = 1.0);
  gauge_family add_gauge(std::string name, std::string help);
  histogram_family add_histogram(std::string name, std::string help, std::vector<label> labels = {},
                                 bool only_written = false);

  const std::vector<family>& families() const { return families_; }
  // Cells in one worker's block.
  std::size_t cells() const { return cells_; }

 private:
  const family& add(family f);
  std::vector<family> families_;
  std::size_t cells_ = 0;
};

}  // namespace host::metrics
