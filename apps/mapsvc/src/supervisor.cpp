#include "supervisor.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "host/helpers/logging.hpp"

namespace mapsvc {
namespace {

using clock_type = restart_backoff::clock;

struct worker_slot {
  pid_t pid = 0;
  clock_type::time_point started;
  std::optional<clock_type::time_point> restart_at;
  restart_backoff backoff;
};

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGCHLD);
  return set;
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

}  // namespace

std::chrono::milliseconds restart_backoff::after_death(clock::time_point started, clock::time_point died) {
  if (died - started >= healthy_after_) {
    current_ = std::chrono::milliseconds(0);
  } else {
    current_ = current_.count() == 0 ? first_ : std::min(current_ * 2, max_);
  }
  return current_;
}

int supervise(const supervisor_options& options, const std::function<int(std::size_t index)>& run_worker) {
  auto log = host::helpers::get_logger("mapsvc.supervisor");
  const sigset_t signals = handled_signals();
  sigset_t previous;
  // Blocked from here on, so nothing arrives between the checks below; children unblock them.
  sigprocmask(SIG_BLOCK, &signals, &previous);
  // Blocked, a signal with its default action waits for sigtimedwait (an ignored one might not).
  struct sigaction previous_hangup {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGHUP, &default_action, &previous_hangup);

  std::vector<worker_slot> slots(std::max<std::size_t>(1, options.workers));
  const pid_t supervisor_pid = ::getpid();
  const auto start = [&](std::size_t index) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      // A worker ends with its supervisor, however the supervisor ends.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != supervisor_pid) std::_Exit(1);
      // A hangup before the worker handles it must not end it.
      ::signal(SIGHUP, SIG_IGN);
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      std::_Exit(run_worker(index));
    }
    worker_slot& slot = slots[index];
    slot.restart_at.reset();
    if (pid < 0) {
      log->error("Could not start worker {}: {}", index, std::strerror(errno));
      slot.pid = 0;
      slot.restart_at = clock_type::now() + std::chrono::seconds(1);
      return;
    }
    slot.pid = pid;
    slot.started = clock_type::now();
  };
  for (std::size_t i = 0; i < slots.size(); ++i) start(i);
  const auto restart = [&](std::size_t index) {
    if (options.on_restart) options.on_restart(index);
    start(index);
  };
  log->info("Started {} worker processes", slots.size());

  bool draining = false;
  std::optional<clock_type::time_point> kill_at;
  const auto running = [&] {
    return std::count_if(slots.begin(), slots.end(), [](const worker_slot& s) { return s.pid > 0; });
  };
  const auto signal_all = [&](int sig) {
    for (const auto& s : slots)
      if (s.pid > 0) ::kill(s.pid, sig);
  };

  while (!draining || running() > 0) {
    // Sleep until a signal, a pending restart or the drain limit, whichever comes first.
    std::optional<clock_type::time_point> wake = kill_at;
    for (const auto& s : slots)
      if (s.restart_at && (!wake || *s.restart_at < *wake)) wake = s.restart_at;
    const std::chrono::nanoseconds wait =
        wake ? std::max(std::chrono::nanoseconds(0), std::chrono::nanoseconds(*wake - clock_type::now()))
             : std::chrono::nanoseconds(std::chrono::hours(1));
    const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
    siginfo_t info{};
    const int sig = ::sigtimedwait(&signals, &info, &timeout);

    if (sig == SIGHUP) {
      // Each process reopens its own log; the workers carry on like the supervisor.
      host::helpers::reopen_log();
      signal_all(SIGHUP);
    }
    if (sig == SIGINT || sig == SIGTERM) {
      if (draining) {
        log->warn("Second signal: stopping the workers at once");
        signal_all(SIGKILL);
      } else {
        log->info("Received signal {}: draining {} workers", sig, running());
        draining = true;
        kill_at = clock_type::now() + options.drain_limit;
        signal_all(SIGTERM);
      }
    }
    for (int status = 0;;) {
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) break;
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].pid != pid) continue;
        slots[i].pid = 0;
        if (draining) break;
        const auto now = clock_type::now();
        const auto delay = slots[i].backoff.after_death(slots[i].started, now);
        log->error("Worker {} (pid {}) {}; starting a new one in {} ms", i, pid, describe(status), delay.count());
        slots[i].restart_at = now + delay;
      }
    }
    const auto now = clock_type::now();
    if (draining && kill_at && now >= *kill_at) {
      log->warn("Workers still running after {} ms: stopping them", options.drain_limit.count());
      signal_all(SIGKILL);
      kill_at.reset();
    }
    if (!draining)
      for (std::size_t i = 0; i < slots.size(); ++i)
        if (slots[i].pid == 0 && slots[i].restart_at && now >= *slots[i].restart_at) restart(i);
  }
  log->info("All workers stopped");
  sigaction(SIGHUP, &previous_hangup, nullptr);
  return 0;
}

}  // namespace mapsvc
