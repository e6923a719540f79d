#include "render_queue.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace mapsvc::plans {
namespace {

// Renders are long CPU work beside an event loop that answers tiles in microseconds: on a
// loaded machine the loop must win the CPU. Nice 10 weighs about a tenth of nice 0.
void lower_this_thread_priority() {
  thread_local const bool lowered = [] {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
  }();
  (void)lowered;
}

}  // namespace

host::metrics::histogram_family declare_render_metrics(host::metrics::registry& families) {
  return families.add_histogram("mapsvc_plan_render_seconds",
                                "Time the render threads spent on one survey-plan job (parsing, drawing or encoding).");
}

render_queue::render_queue(render_queue_options options)
    : options_(options), pool_(std::max<std::size_t>(1, options.workers)) {
  options_.workers = std::max<std::size_t>(1, options_.workers);
}

render_queue::~render_queue() { pool_.join(); }

void render_queue::execute(const std::function<void()>& job) {
  lower_this_thread_priority();
  const auto begin = std::chrono::steady_clock::now();
  job();
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin);
  options_.render_time.observe_shared(took);
  // A moving average over roughly the last eight renders.
  const auto mean = mean_render_us_.load(std::memory_order_relaxed);
  mean_render_us_.store(mean + (took.count() - mean) / 8, std::memory_order_relaxed);
}

bool render_queue::bytes_fit(std::size_t bytes) const {
  return bytes == 0 || held_bytes_ == 0 || bytes <= options_.max_bytes - std::min(held_bytes_, options_.max_bytes);
}

render_queue::byte_hold render_queue::hold_bytes(std::size_t bytes) {
  if (!bytes_fit(bytes)) throw queue_full(retry_after());
  return byte_hold(this, bytes);
}

std::chrono::seconds render_queue::retry_after() const {
  const double drain_s = static_cast<double>(mean_render_us_.load(std::memory_order_relaxed)) * 1e-6 *
                         static_cast<double>(admitted_) / static_cast<double>(options_.workers);
  return std::chrono::seconds(std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(drain_s))));
}

}  // namespace mapsvc::plans
