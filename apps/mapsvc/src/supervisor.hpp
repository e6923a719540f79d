#pragma once
// Worker processes: a small supervisor that owns the listening socket, forks the workers that
// serve on it, restarts one that dies (backing off when one keeps dying), and drains them all
// on SIGINT/SIGTERM. A second signal ends every worker at once. SIGHUP reopens the log, in the
// supervisor and (passed on) in every worker, and stops nothing.

#include <chrono>
#include <cstddef>
#include <functional>

namespace mapsvc {

// When to start a worker again after it died: at once after a worker that ran a while, with
// a doubling delay (up to `max_delay`) while workers keep dying soon after they start.
class restart_backoff {
 public:
  using clock = std::chrono::steady_clock;

  restart_backoff(std::chrono::milliseconds first_delay = std::chrono::milliseconds(100),
                  std::chrono::milliseconds max_delay = std::chrono::seconds(30),
                  std::chrono::milliseconds healthy_after = std::chrono::seconds(10))
      : first_(first_delay), max_(max_delay), healthy_after_(healthy_after) {}

  // The delay before replacing a worker that started at `started` and died at `died`.
  std::chrono::milliseconds after_death(clock::time_point started, clock::time_point died);

 private:
  std::chrono::milliseconds first_, max_, healthy_after_;
  std::chrono::milliseconds current_{0};
};

struct supervisor_options {
  std::size_t workers = 1;
  // How long the workers may take to finish their requests after SIGTERM before they are killed.
  std::chrono::milliseconds drain_limit = std::chrono::seconds(15);
  // Called in the supervisor each time a worker that died is started again.
  std::function<void(std::size_t index)> on_restart{};
};

// Forks `options.workers` processes that each call `run_worker(index)` and exit with its result;
// returns the supervisor's exit status once all have stopped. Must be called before the process
// starts any thread: a forked child gets only the calling thread.
int supervise(const supervisor_options& options, const std::function<int(std::size_t index)>& run_worker);

}  // namespace mapsvc
