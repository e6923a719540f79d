// The invalidation listener against a server of its own that dies, comes back and stalls:
// tracking must drop whenever changes may be missed, come back by itself, and every change
// made while it is tracking must be reported.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support.hpp"

using namespace redis_test;

namespace {

class Listener : public ::testing::Test {
 protected:
  redis::invalidation_listener listen(const redis::options& where, std::chrono::milliseconds ping = 100ms) {
    return redis_test::listen(ioc, where, prefix, seen, ping);
  }
  bool until(const std::function<bool()>& condition, int rounds = 100) { return redis_test::until(ioc, condition, rounds); }

  asio::io_context ioc;
  redis_child server;
  const std::string prefix = unique_prefix();
  reports seen;
};

TEST_F(Listener, TrackingIsLostWithTheServerAndRegainedWhenItIsBack) {
  // Pings far apart: the loss is noticed when the connection ends, not at the next ping.
  auto listener = listen(server.options(), 10s);
  ASSERT_TRUE(until([&] { return seen.on(); }));
  redis::client writer(ioc.get_executor(), server.options());
  run(ioc, writer.set(prefix + "a", "1"));
  run(ioc, writer.set("elsewhere:" + prefix, "1"));  // not under the prefix: not reported
  ASSERT_TRUE(until([&] { return seen.keys.count(prefix + "a") == 1; }));

  server.kill();
  EXPECT_TRUE(until([&] { return !seen.on(); }, 10));
  server.start();
  EXPECT_TRUE(until([&] { return seen.on(); }));
  run(ioc, writer.set(prefix + "b", "2"));
  run(ioc, writer.command({"FLUSHALL"}));
  EXPECT_TRUE(until([&] { return seen.keys.count(prefix + "b") == 1 && seen.flushes == 1; }));
  EXPECT_EQ(seen.keys, (std::set<std::string>{prefix + "a", prefix + "b"}));
  EXPECT_EQ(seen.tracking, (std::vector<bool>{true, false, true}));

  // Stopped: no callback runs any more, whatever changes.
  listener.stop();
  run(ioc, writer.set(prefix + "c", "3"));
  ioc.run_for(200ms);
  EXPECT_EQ(seen.keys.count(prefix + "c"), 0u);
  EXPECT_FALSE(listener.tracking());
  EXPECT_EQ(seen.tracking.size(), 3u);
}

// A stalled server cannot report changes: three silent pings and tracking is given up, then
// regained once the server answers again.
TEST_F(Listener, AStalledServerIsGivenUpAfterThreeSilentPingsAndTakenBackAfter) {
  auto listener = listen(server.options(), 100ms);
  ASSERT_TRUE(until([&] { return seen.on(); }));
  server.pause();
  const auto paused_at = std::chrono::steady_clock::now();
  EXPECT_TRUE(until([&] { return !seen.on(); }));
  const auto noticed_after = std::chrono::steady_clock::now() - paused_at;
  EXPECT_GE(noticed_after, 200ms);
  EXPECT_LT(noticed_after, 2s);
  server.resume();
  EXPECT_TRUE(until([&] { return seen.on(); }));
  redis::client writer(ioc.get_executor(), server.options());
  run(ioc, writer.set(prefix + "after", "1"));
  EXPECT_TRUE(until([&] { return seen.keys.count(prefix + "after") == 1; }));
}

// A server that is not there at first: the listener keeps trying and starts tracking once it is.
TEST_F(Listener, StartsTrackingOnceAServerThatWasDownComesUp) {
  server.kill();
  auto listener = listen(server.options());
  ioc.run_for(300ms);
  EXPECT_TRUE(seen.tracking.empty());
  server.start();
  EXPECT_TRUE(until([&] { return seen.on(); }));
}

}  // namespace
