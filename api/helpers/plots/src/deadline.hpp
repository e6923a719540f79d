#pragma once

// The time limit of one plan, checked between units of work (display items, roads) so that a
// plan built to be costly ends with an error after a bounded amount of work. It counts the
// processor time of the thread doing the work, not the wall clock: what a plan may cost should
// not depend on what else the machine is doing, and on a busy machine a wall-clock limit would
// fail ordinary plans while they wait for a processor.

#include <chrono>

namespace printsvc::plots::detail {

class deadline {
 public:
  /// `time_limit` of processor time from now, on the calling thread; a limit beyond the
  /// clock's range means none.
  static deadline after(std::chrono::milliseconds time_limit);
  static deadline none() { return deadline(std::chrono::nanoseconds::max()); }

  /// Throws render_timeout_error once the calling thread has used the time (the thread that
  /// made the deadline: another thread's clock would measure something else).
  void check() const;

  /// Processor time left before the deadline (zero once passed); the clock's maximum for none.
  std::chrono::nanoseconds remaining() const;

 private:
  explicit deadline(std::chrono::nanoseconds at) : at_(at) {}
  std::chrono::nanoseconds at_;  // on the thread's processor clock
};

}  // namespace printsvc::plots::detail
