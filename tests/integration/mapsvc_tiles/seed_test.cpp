#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <fmt/format.h>

#include "support.hpp"
#include "tools.hpp"

namespace {

using namespace tile_test;

run_result seed(const std::string& args) { return tool("seed " + args); }

class Seed : public tools_test {
 protected:
  std::string state = (std::filesystem::temp_directory_path() / fmt::format("seed-test-{}.state", ::getpid())).string();

  void TearDown() override {
    tools_test::TearDown();
    std::filesystem::remove(state);
    std::filesystem::remove(state + ".journal");
  }
};

TEST_F(Seed, StoresWhatTheServerStoresAndSkipsBelowEmptyTiles) {
  const auto r = seed("--zoom 15-17 --layers plots --concurrency 3 --bbox " + area() + " --resume " + state);
  ASSERT_EQ(r.status, 0) << r.out;
  // 3 z15 tiles; the data tile's 4 + 16 descendants; the two empty ones end their branches.
  EXPECT_GE(figure(r.out, "skipped below empty tiles"), 40u) << r.out;
  const auto t = data_tile();
  const auto keys = redis.keys("mvt_v8:plots:*");
  for (int z = 15; z <= 17; ++z)
    EXPECT_TRUE(redis.keys(fmt::format("mvt_v8:plots:{}:{}:*", z, (t.x + 1) << (z - 15))).empty());
  ASSERT_GE(keys.size(), 2u);
  EXPECT_EQ(figure(r.out, "stored,"), keys.size()) << r.out;

  // The server, asked for the same tiles afresh, stores the same bytes under the same keys.
  service svc;
  for (const auto& key : keys) {
    const auto seeded = redis.get(key);
    const auto ttl = redis.ttl(key);
    EXPECT_GT(ttl, 1700);  // the zoom's 30 minutes
    redis.command({"DEL", key});
    int z;
    long long x, y;
    ASSERT_EQ(std::sscanf(key.c_str(), "mvt_v8:plots:%d:%lld:%lld", &z, &x, &y), 3);
    const auto reply = svc.get(tile_path("plots", z, x, y));
    ASSERT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, *seeded) << key;
    EXPECT_EQ(redis.get(key), seeded) << key;
    EXPECT_NEAR(static_cast<double>(redis.ttl(key)), static_cast<double>(ttl), 5);
  }
}

TEST_F(Seed, DryRunCountsEveryBranch) {
  const auto r = seed("--zoom 15-17 --layers plots,beacons --dry-run --bbox " + area());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("plots: 63 tiles"), std::string::npos) << r.out;  // 3 + 12 + 48
  EXPECT_NE(r.out.find("total: 126 tiles"), std::string::npos) << r.out;
  EXPECT_TRUE(redis.keys("mvt_v8:*").empty());
}

TEST_F(Seed, ResumesAfterAnInterruptionRedoingOnlyTheTilesInFlight) {
  const std::string args = "--zoom 14-18 --layers plots,beacons --concurrency 2 --bbox " + area() + " --resume " + state;
  const auto whole = seed(args);
  ASSERT_EQ(whole.status, 0) << whole.out;
  const auto built = figure(whole.out, "tiles built");
  std::filesystem::remove(state);
  std::filesystem::remove(state + ".journal");
  clear();

  const auto first = seed(args + " --stop-after 5");
  ASSERT_EQ(first.status, 130) << first.out;
  EXPECT_NE(first.out.find("--resume " + state), std::string::npos) << first.out;
  // Another walk is refused, not mixed in.
  EXPECT_EQ(seed("--zoom 14-17 --layers plots,beacons --bbox " + area() + " --resume " + state).status, 2);
  const auto second = seed(args);
  ASSERT_EQ(second.status, 0) << second.out;
  // The counts carry over: the second run's summary covers both.
  const auto redone = figure(second.out, "tiles built") - built;
  EXPECT_LE(redone, 2u) << first.out << second.out;
  EXPECT_EQ(seed(args).out.find("nothing left") != std::string::npos, true);
}

// A cache that is not there fails every tile: the run says so after its first tiles instead of
// trying each of thousands three times.
TEST_F(Seed, StopsEarlyWhenEveryTileFails) {
  const auto r = run_command(fmt::format("DATABASE_URL='{}' REDIS_HOST=127.0.0.1 REDIS_PORT=1 {} seed --zoom 14-18 "
                                         "--layers plots --concurrency 8 --resume {} 2>&1",
                                         fixture_db::url(), MAPSVC_TILES_BIN, state));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("the first 16 tiles all failed"), std::string::npos) << r.out;
}

TEST_F(Seed, BadOptionsExitTwo) {
  EXPECT_EQ(seed("--zoom 15 --layers roads").status, 2);
  EXPECT_EQ(seed("--layers plots").status, 2);
  EXPECT_EQ(seed("--zoom 15 --district Nowhere").status, 2);
}

}  // namespace
