#pragma once
// Service metrics that every worker process writes and any of them reads.
//
// One memory region, shared by all the workers because it is mapped before they are forked,
// holds a fixed block of counters per worker. A worker writes only its own block, without
// locks (each value has one writer); a scrape, in whichever worker it arrives, sums the blocks
// of all workers. A worker that is replaced takes over its predecessor's block, so counters
// never go back. Every series has a fixed place: label values come from short fixed lists
// (route templates, layers, methods, known statuses), never from request text.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace host::metrics {

inline constexpr std::size_t MAX_ROUTES = 48;  // one more slot counts requests no route matched
inline constexpr std::size_t MAX_LAYERS = 8;

enum class method { get, head, post, options, other, count_ };
std::string_view to_string(method m);
method method_of(std::string_view name) noexcept;

// The statuses counted by their own label; others count as "other".
inline constexpr std::array<unsigned, 21> KNOWN_STATUSES{200, 204, 206, 301, 304, 307, 400, 401, 403, 404, 405,
                                                         408, 413, 415, 422, 429, 431, 500, 501, 503, 504};
inline constexpr std::size_t STATUS_SLOTS = KNOWN_STATUSES.size() + 1;
std::size_t status_slot(unsigned status) noexcept;

// Where a tile layer's answer came from.
enum class tile_level { memory, redis, miss, empty, count_ };
std::string_view to_string(tile_level level);

// Upper bounds, in seconds, of the latency buckets.
inline constexpr std::array<double, 14> LATENCY_BOUNDS{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,    0.25,  0.5,    1.0,   2.5,   5.0,  10.0};

// A monotonic count with a single writer: a plain load and store (no locked instruction) is
// enough, and readers in other processes see whole values.
struct counter {
  std::atomic<std::uint64_t> value{0};
  void add(std::uint64_t n = 1) noexcept { value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
  std::uint64_t get() const noexcept { return value.load(std::memory_order_relaxed); }
  // For a value that several threads of the worker write.
  void add_shared(std::uint64_t n = 1) noexcept { value.fetch_add(n, std::memory_order_relaxed); }
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "counters must work across processes");

struct gauge {
  std::atomic<std::int64_t> value{0};
  void set(std::int64_t v) noexcept { value.store(v, std::memory_order_relaxed); }
  std::int64_t get() const noexcept { return value.load(std::memory_order_relaxed); }
};

struct histogram {
  std::array<counter, LATENCY_BOUNDS.size()> buckets;  // not cumulative; beyond the last: count only
  counter count;
  counter sum_ns;
  void observe(std::chrono::nanoseconds d) noexcept;
  void observe_shared(std::chrono::nanoseconds d) noexcept;  // from any thread of the worker
};

// One worker's block.
struct worker_block {
  counter requests[MAX_ROUTES + 1][static_cast<std::size_t>(method::count_)][STATUS_SLOTS];
  histogram latency[MAX_ROUTES + 1];
  counter tiles[MAX_LAYERS][static_cast<std::size_t>(tile_level::count_)];
  gauge pool_open, pool_in_use, pool_waiting;
  counter pool_waits, pool_wait_ns;
  counter statement_timeouts, redis_errors, invalidated_keys;
  histogram plan_render;
  // The change feed: changes applied, batches, builds refused a store because an edit
  // overtook them, tiles rebuilt ahead of viewers; commit-to-evicted lag; pending changes
  // and whether this worker holds the feed's lease (written by the holder only).
  counter feed_changes, feed_batches, stale_stores_refused, tiles_refreshed;
  histogram feed_lag;
  gauge feed_backlog, feed_holder;
  gauge pid;
};

struct region_header {
  std::uint64_t magic;
  std::uint64_t workers;
  counter worker_restarts;  // written by the supervisor alone
};

// The shared mapping: the header, then one block per worker. Create it before forking.
class shared_region {
 public:
  // Maps a zeroed anonymous shared region for `workers` blocks. Throws std::system_error.
  explicit shared_region(std::size_t workers);
  ~shared_region();
  shared_region(const shared_region&) = delete;
  shared_region& operator=(const shared_region&) = delete;

  std::size_t workers() const { return workers_; }
  region_header& header() const { return *static_cast<region_header*>(base_); }
  worker_block& block(std::size_t index) const;

 private:
  void* base_ = nullptr;
  std::size_t size_ = 0;
  std::size_t workers_ = 0;
};

// What one worker writes. Every call is a few loads and stores on the worker's own block.
class recorder {
 public:
  recorder(shared_region& region, std::size_t index);

  // `route`: the index of the matched route, or MAX_ROUTES when none matched.
  void request(std::size_t route, method m, unsigned status, std::chrono::nanoseconds took) noexcept;
  void tile(std::size_t layer, tile_level level) noexcept {
    if (layer < MAX_LAYERS) block_.tiles[layer][static_cast<std::size_t>(level)].add();
  }
  void statement_timeout() noexcept { block_.statement_timeouts.add(); }
  void redis_error() noexcept { block_.redis_errors.add(); }
  void invalidated(std::uint64_t keys) noexcept { block_.invalidated_keys.add(keys); }
  void stale_store_refused() noexcept { block_.stale_stores_refused.add(); }
  void tile_refreshed() noexcept { block_.tiles_refreshed.add(); }
  // One applied batch of `changes`, each evicted `lag` after its commit.
  void feed_batch(std::uint64_t changes) noexcept {
    block_.feed_batches.add();
    block_.feed_changes.add(changes);
  }
  void feed_lag(std::chrono::nanoseconds lag) noexcept { block_.feed_lag.observe(lag); }
  void feed_state(std::int64_t backlog, bool holder) noexcept {
    block_.feed_backlog.set(backlog);
    block_.feed_holder.set(holder ? 1 : 0);
  }
  // Safe from any thread (plans render on their own threads).
  void plan_rendered(std::chrono::nanoseconds took) noexcept { block_.plan_render.observe_shared(took); }
  // The database pool's state now, and its cumulative waits since this worker started.
  void pool(std::size_t open, std::size_t in_use, std::size_t waiting, std::uint64_t waits,
            std::chrono::nanoseconds waited) noexcept;

  shared_region& region() const { return region_; }

 private:
  shared_region& region_;
  worker_block& block_;
  // The block's pool counters when this worker took it over: the pool's own start from zero.
  std::uint64_t waits_base_, wait_ns_base_;
};

// This process's recorder, for code that is not handed one; none until the worker sets it.
void set_process_recorder(recorder* r) noexcept;
// One survey-plan job's time on the render threads, into this worker's figures (nothing
// before a recorder is set). Safe from any thread.
void plan_rendered(std::chrono::nanoseconds took) noexcept;

// Names of the labelled things, in index order, for a scrape.
struct labels {
  std::span<const std::string> routes;  // route templates, e.g. "/gis/{layer_name}/{z}/{x}/{y}.pbf"
  std::span<const std::string> layers;
};

// The text exposition (version 0.0.4) of the sum over every worker's block.
std::string scrape(const shared_region& region, const labels& names);

}  // namespace host::metrics
