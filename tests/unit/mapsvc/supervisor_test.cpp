// The worker supervisor, with workers that are plain functions: restarts with back-off, the
// drain on SIGTERM, and a second signal that ends everything at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "supervisor.hpp"

namespace {
using namespace std::chrono_literals;
using clock_type = mapsvc::restart_backoff::clock;

TEST(RestartBackoff, DoublesWhileWorkersKeepDyingAndResetsAfterAHealthyRun) {
  mapsvc::restart_backoff backoff(100ms, 1s, 10s);
  const auto t = clock_type::now();
  EXPECT_EQ(backoff.after_death(t, t + 1s), 100ms);
  EXPECT_EQ(backoff.after_death(t, t + 1s), 200ms);
  EXPECT_EQ(backoff.after_death(t, t + 1s), 400ms);
  EXPECT_EQ(backoff.after_death(t, t + 1s), 800ms);
  EXPECT_EQ(backoff.after_death(t, t + 1s), 1s);  // capped
  EXPECT_EQ(backoff.after_death(t, t + 1s), 1s);
  EXPECT_EQ(backoff.after_death(t, t + 60s), 0ms);  // it ran a while: replaced at once
  EXPECT_EQ(backoff.after_death(t, t + 1s), 100ms);
}

// A supervisor in a child process of the test, whose workers report their pids on a pipe.
class supervised {
 public:
  // `worker_ignores_sigterm`: workers that never drain, so only the second signal ends them.
  supervised(std::size_t workers, bool worker_ignores_sigterm, std::chrono::milliseconds drain) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const int out = fds[1];
      const int status = mapsvc::supervise({.workers = workers, .drain_limit = drain}, [&](std::size_t index) {
        if (worker_ignores_sigterm) ::signal(SIGTERM, SIG_IGN);
        const std::string line = std::to_string(index) + " " + std::to_string(::getpid()) + "\n";
        [[maybe_unused]] auto n = ::write(out, line.data(), line.size());
        // Drains: a worker that gets SIGTERM ends (the default action) unless it ignores it.
        while (true) ::pause();
        return 0;
      });
      ::_exit(status);
    }
    ::close(fds[1]);
    reports_ = ::fdopen(fds[0], "r");
  }
  ~supervised() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::fclose(reports_);
  }
  // The next worker that started: its index and pid.
  std::pair<int, pid_t> next_worker() {
    int index = -1, pid = -1;
    if (std::fscanf(reports_, "%d %d", &index, &pid) != 2) throw std::runtime_error("no worker report");
    return {index, pid};
  }
  pid_t pid() const { return pid_; }
  // The supervisor's exit, waited for up to `limit`; none if it is still running.
  std::optional<int> exit_within(std::chrono::milliseconds limit) {
    const auto until = clock_type::now() + limit;
    while (clock_type::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  FILE* reports_ = nullptr;
  bool exited_ = false;
};

TEST(Supervisor, ReplacesAWorkerThatDiesAndDrainsOnSigterm) {
  supervised s(2, false, 5s);
  const auto [first_index, first_pid] = s.next_worker();
  const auto [second_index, second_pid] = s.next_worker();
  EXPECT_NE(first_index, second_index);
  ::kill(first_pid, SIGKILL);
  const auto [replaced_index, replaced_pid] = s.next_worker();
  EXPECT_EQ(replaced_index, first_index);
  EXPECT_NE(replaced_pid, first_pid);
  ::kill(s.pid(), SIGTERM);
  EXPECT_EQ(s.exit_within(3s), 0);
  EXPECT_NE(::kill(second_pid, 0), 0);  // gone with it
  EXPECT_NE(::kill(replaced_pid, 0), 0);
}

TEST(Supervisor, ASecondSignalEndsWorkersThatDoNotDrain) {
  supervised s(2, true, 60s);
  const auto [i1, p1] = s.next_worker();
  const auto [i2, p2] = s.next_worker();
  ::kill(s.pid(), SIGTERM);
  EXPECT_FALSE(s.exit_within(300ms));  // the workers ignore it: still draining
  ::kill(s.pid(), SIGINT);
  EXPECT_EQ(s.exit_within(3s), 0);
  EXPECT_NE(::kill(p1, 0), 0);
  EXPECT_NE(::kill(p2, 0), 0);
}

}  // namespace
