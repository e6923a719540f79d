// The mapsvc binary as operators run it: worker processes that are replaced when they die
// while clients keep being answered, signals that drain or, the second time, end at once, and
// a hangup that only reopens the log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.hpp"

namespace mapsvc_test {
namespace {

TEST(Workers, AWorkerKilledUnderLoadIsReplacedAndClientsKeepBeingAnswered) {
  running_mapsvc svc(2);
  ASSERT_EQ(status_of(svc.port(), "/gis/layers/"), 200);
  const auto workers = children_of(svc.pid());
  ASSERT_EQ(workers.size(), 2u);

  std::atomic<bool> stop = false, killed = false;
  std::atomic<int> answered_after = 0, failed_after = 0;
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i)
    clients.emplace_back([&] {
      while (!stop) {
        const bool after = killed;
        const int status = status_of(svc.port(), "/gis/layers/");
        if (!after) continue;
        (status == 200 ? answered_after : failed_after)++;
      }
    });
  std::this_thread::sleep_for(300ms);
  ::kill(workers[0], SIGKILL);
  killed = true;
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& c : clients) c.join();

  // Only a request the killed worker had already taken may fail.
  EXPECT_GT(answered_after, 100);
  EXPECT_LE(failed_after, 4);
  const auto now = children_of(svc.pid());
  EXPECT_EQ(now.size(), 2u);
  EXPECT_EQ(std::set<pid_t>(now.begin(), now.end()).count(workers[0]), 0u);
}

TEST(Signals, TheFirstDrainsTheSecondEndsAtOnce) {
  running_mapsvc svc(1);
  // A request still arriving holds the drain for up to the grace period (10 s).
  const int slow = connect_to(svc.port());
  ASSERT_GE(slow, 0);
  const std::string partial = "GET /gis/layers/ HTTP/1.1\r\nHo";
  ::send(slow, partial.data(), partial.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(100ms);
  ::kill(svc.pid(), SIGTERM);
  EXPECT_FALSE(svc.exit_within(500ms));
  const auto t0 = clock_type::now();
  ::kill(svc.pid(), SIGTERM);
  EXPECT_TRUE(svc.exit_within(2s));
  EXPECT_LT(clock_type::now() - t0, 1s);
  ::close(slow);
}

int lines_with(const std::string& file, const std::string& text) {
  std::ifstream in(file);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
  return n;
}

// Log rotation and service managers send SIGHUP: every process reopens its log and carries on,
// the request in flight included; the service still drains when told to stop.
TEST(Signals, AHangupReopensTheLogAndStopsNothing) {
  for (const int workers : {1, 2}) {
    const std::string log = "/tmp/mapsvc-hangup-" + std::to_string(::getpid()) + ".log";
    running_mapsvc svc(workers, {{"MAPSVC_LOG_LEVEL", "info"}}, log);
    ASSERT_EQ(status_of(svc.port(), "/gis/layers/"), 200) << workers;
    // Every worker past its start (it says so once its tile module exists, after its hangup
    // handler), not only the one that answered.
    for (int i = 0; i < 250 && lines_with(log, "Binary Redis cache initialized") < workers; ++i)
      std::this_thread::sleep_for(20ms);
    const auto before = children_of(svc.pid());
    const int in_flight = connect_to(svc.port());
    ASSERT_GE(in_flight, 0);
    const std::string first = "GET /gis/layers/ HTTP/1.1\r\nHo", rest = "st: x\r\nConnection: close\r\n\r\n";
    ::send(in_flight, first.data(), first.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(100ms);
    // Two hangups, each seen by the supervisor and every worker (one process without workers).
    // Signals of one kind do not queue: the second is sent once the first has been handled.
    const int processes = workers == 1 ? 1 : workers + 1;
    const auto reopened = [&](int times) {
      for (int i = 0; i < 250 && lines_with(log, "reopen the log") < times * processes; ++i)
        std::this_thread::sleep_for(20ms);
      return lines_with(log, "reopen the log");
    };
    for (int i = 1; i <= 2; ++i) {
      ::kill(svc.pid(), SIGHUP);
      EXPECT_EQ(reopened(i), i * processes) << workers;
    }
    ::send(in_flight, rest.data(), rest.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = ::recv(in_flight, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
    ::close(in_flight);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << workers << ": " << answer;

    EXPECT_FALSE(svc.exit_within(100ms)) << workers;
    const auto after = children_of(svc.pid());
    EXPECT_EQ(std::set<pid_t>(after.begin(), after.end()), std::set<pid_t>(before.begin(), before.end())) << workers;
    EXPECT_EQ(status_of(svc.port(), "/gis/layers/"), 200) << workers;
    EXPECT_EQ(lines_with(log, "reopen the log"), 2 * processes) << workers;

    ::kill(svc.pid(), SIGTERM);
    EXPECT_EQ(svc.exit_within(5s), 0) << workers;
    std::remove(log.c_str());
  }
}

TEST(Signals, AnIdleServiceStopsCleanly) {
  running_mapsvc svc(2);
  ::kill(svc.pid(), SIGTERM);
  EXPECT_EQ(svc.exit_within(3s), 0);
}

}  // namespace
}  // namespace mapsvc_test
