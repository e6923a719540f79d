#include "host/metrics/shared_metrics.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace host::metrics {
namespace {
constexpr std::uint64_t MAGIC = 0x6d61707376636d31;  // "mapsvcm1"

std::size_t blocks_offset() { return (sizeof(region_header) + 63) / 64 * 64; }
std::size_t block_size() { return (sizeof(worker_block) + 63) / 64 * 64; }
}  // namespace

std::string_view to_string(method m) {
  switch (m) {
    case method::get: return "GET";
    case method::head: return "HEAD";
    case method::post: return "POST";
    case method::options: return "OPTIONS";
    default: return "other";
  }
}

method method_of(std::string_view name) noexcept {
  if (name == "GET") return method::get;
  if (name == "HEAD") return method::head;
  if (name == "POST") return method::post;
  if (name == "OPTIONS") return method::options;
  return method::other;
}

std::size_t status_slot(unsigned status) noexcept {
  const auto it = std::find(KNOWN_STATUSES.begin(), KNOWN_STATUSES.end(), status);
  return static_cast<std::size_t>(it - KNOWN_STATUSES.begin());  // the end: "other"
}

std::string_view to_string(tile_level level) {
  switch (level) {
    case tile_level::memory: return "memory";
    case tile_level::redis: return "redis";
    case tile_level::miss: return "miss";
    default: return "empty";
  }
}

void histogram::observe(std::chrono::nanoseconds d) noexcept {
  const double seconds = std::chrono::duration<double>(d).count();
  // Linear: fourteen comparisons at most, usually a handful.
  for (std::size_t i = 0; i < LATENCY_BOUNDS.size(); ++i) {
    if (seconds <= LATENCY_BOUNDS[i]) {
      buckets[i].add();
      break;
    }
  }
  count.add();
  sum_ns.add(static_cast<std::uint64_t>(std::max<std::int64_t>(0, d.count())));
}

void histogram::observe_shared(std::chrono::nanoseconds d) noexcept {
  const double seconds = std::chrono::duration<double>(d).count();
  for (std::size_t i = 0; i < LATENCY_BOUNDS.size(); ++i) {
    if (seconds <= LATENCY_BOUNDS[i]) {
      buckets[i].add_shared();
      break;
    }
  }
  count.add_shared();
  sum_ns.add_shared(static_cast<std::uint64_t>(std::max<std::int64_t>(0, d.count())));
}

namespace {
std::atomic<recorder*> process_recorder{nullptr};
}

void set_process_recorder(recorder* r) noexcept { process_recorder.store(r, std::memory_order_release); }

void plan_rendered(std::chrono::nanoseconds took) noexcept {
  if (auto* r = process_recorder.load(std::memory_order_acquire)) r->plan_rendered(took);
}

shared_region::shared_region(std::size_t workers) : workers_(std::max<std::size_t>(1, workers)) {
  size_ = blocks_offset() + workers_ * block_size();
  base_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base_ == MAP_FAILED) {
    base_ = nullptr;
    throw std::system_error(errno, std::generic_category(), "cannot map the metrics region");
  }
  new (base_) region_header{MAGIC, workers_, {}};
  for (std::size_t i = 0; i < workers_; ++i) new (static_cast<char*>(base_) + blocks_offset() + i * block_size()) worker_block();
}

shared_region::~shared_region() {
  if (base_) ::munmap(base_, size_);
}

worker_block& shared_region::block(std::size_t index) const {
  return *reinterpret_cast<worker_block*>(static_cast<char*>(base_) + blocks_offset() +
                                          std::min(index, workers_ - 1) * block_size());
}

recorder::recorder(shared_region& region, std::size_t index)
    : region_(region),
      block_(region.block(index)),
      waits_base_(block_.pool_waits.get()),
      wait_ns_base_(block_.pool_wait_ns.get()) {
  block_.pid.set(::getpid());
  block_.pool_open.set(0);
  block_.pool_in_use.set(0);
  block_.pool_waiting.set(0);
}

void recorder::request(std::size_t route, method m, unsigned status, std::chrono::nanoseconds took) noexcept {
  route = std::min(route, MAX_ROUTES);
  block_.requests[route][static_cast<std::size_t>(m)][status_slot(status)].add();
  block_.latency[route].observe(took);
}

void recorder::pool(std::size_t open, std::size_t in_use, std::size_t waiting, std::uint64_t waits,
                    std::chrono::nanoseconds waited) noexcept {
  block_.pool_open.set(static_cast<std::int64_t>(open));
  block_.pool_in_use.set(static_cast<std::int64_t>(in_use));
  block_.pool_waiting.set(static_cast<std::int64_t>(waiting));
  block_.pool_waits.value.store(waits_base_ + waits, std::memory_order_relaxed);
  block_.pool_wait_ns.value.store(wait_ns_base_ + static_cast<std::uint64_t>(waited.count()), std::memory_order_relaxed);
}

}  // namespace host::metrics
