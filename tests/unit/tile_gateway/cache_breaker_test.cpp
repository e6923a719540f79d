#include <gtest/gtest.h>

#include "mapsvc/tile_gateway/cache_breaker.hpp"

namespace tg = mapsvc::tile_gateway;

namespace {

using namespace std::chrono_literals;
using breaker_state = tg::cache_breaker::state;
using role = tg::cache_breaker::ticket::role;
using what = tg::cache_breaker::change::what;

// Each case runs a breaker on a clock the test moves by hand: 500 ms between probes, a lost probe after 10 s.
struct CacheBreaker : ::testing::Test {
  tg::cache_breaker::clock::time_point now{std::chrono::hours(1)};
  tg::cache_breaker breaker{500ms, 10s, [this] { return now; }};

  tg::cache_breaker::ticket open_it() {
    const auto t = breaker.admit();
    EXPECT_EQ(breaker.timed_out(t).kind, what::opened);
    return t;
  }
};

TEST_F(CacheBreaker, WhileClosedEveryCallGoesToRedisAndOnlyATimeOutOpens) {
  for (int i = 0; i < 3; ++i) {
    const auto t = breaker.admit();
    EXPECT_EQ(t.kind, role::call);
    // Refused connections and error replies are cheap: each call keeps trying, as before.
    EXPECT_EQ(breaker.failed(t).kind, what::none);
    EXPECT_EQ(breaker.succeeded(breaker.admit()).kind, what::none);
  }
  EXPECT_EQ(breaker.current(), breaker_state::closed);

  const auto first = breaker.admit(), second = breaker.admit();
  EXPECT_EQ(breaker.timed_out(first).kind, what::opened);
  EXPECT_EQ(breaker.timed_out(second).kind, what::none) << "opening is reported once";
  EXPECT_EQ(breaker.current(), breaker_state::open);
}

TEST_F(CacheBreaker, OpenSkipsUntilTheIntervalThenOneProbeAtATime) {
  open_it();
  EXPECT_TRUE(breaker.admit().skipped());
  now += 499ms;
  EXPECT_TRUE(breaker.admit().skipped());
  now += 1ms;
  const auto probe = breaker.admit();
  EXPECT_EQ(probe.kind, role::probe);
  EXPECT_EQ(breaker.current(), breaker_state::probing);
  EXPECT_TRUE(breaker.admit().skipped()) << "a second probe while the first is out";

  // A probe that times out opens the breaker again, counting the interval from its verdict.
  now += 1000ms;
  EXPECT_EQ(breaker.timed_out(probe).kind, what::none);
  EXPECT_EQ(breaker.current(), breaker_state::open);
  now += 499ms;
  EXPECT_TRUE(breaker.admit().skipped());
  now += 1ms;
  EXPECT_EQ(breaker.admit().kind, role::probe);
}

TEST_F(CacheBreaker, AnsweredProbeClosesAndReportsHowLongAndHowManyCallsSkipped) {
  open_it();
  for (int i = 0; i < 7; ++i) breaker.admit();
  now += 600ms;
  const auto probe = breaker.admit();
  now += 5ms;
  const auto closed = breaker.succeeded(probe);
  EXPECT_EQ(closed.kind, what::closed);
  EXPECT_EQ(closed.skipped_for, 605ms);
  EXPECT_EQ(closed.skipped_calls, 7u);
  EXPECT_EQ(breaker.admit().kind, role::call);

  // The count starts afresh with the next stall.
  open_it();
  breaker.admit();
  now += 500ms;
  EXPECT_EQ(breaker.succeeded(breaker.admit()).skipped_calls, 1u);
}

TEST_F(CacheBreaker, ProbeRefusedRatherThanStalledClosesSoCallsTryAsBefore) {
  open_it();
  now += 500ms;
  EXPECT_EQ(breaker.failed(breaker.admit()).kind, what::closed);
  EXPECT_EQ(breaker.admit().kind, role::call);
}

TEST_F(CacheBreaker, CallsSentBeforeTheStallDoNotSteerTheProbes) {
  const auto early = breaker.admit(), late = breaker.admit(), refused = breaker.admit();
  open_it();
  now += 500ms;
  const auto probe = breaker.admit();
  EXPECT_EQ(breaker.timed_out(early).kind, what::none);
  EXPECT_EQ(breaker.failed(refused).kind, what::none);
  EXPECT_EQ(breaker.current(), breaker_state::probing) << "only the probe's verdict counts";
  // But any answer shows that Redis answers again.
  EXPECT_EQ(breaker.succeeded(late).kind, what::closed);
  EXPECT_EQ(breaker.succeeded(probe).kind, what::none);
}

TEST_F(CacheBreaker, ProbeThatWillNeverReportDoesNotKeepTheCacheSkipped) {
  open_it();
  now += 500ms;
  // Its request was cancelled: the next call may probe at once.
  breaker.abandoned(breaker.admit());
  EXPECT_EQ(breaker.current(), breaker_state::open);
  const auto lost = breaker.admit();
  EXPECT_EQ(lost.kind, role::probe);

  // One that vanished without a word is replaced once the probe limit has passed.
  now += 9999ms;
  EXPECT_TRUE(breaker.admit().skipped());
  now += 1ms;
  const auto replacement = breaker.admit();
  EXPECT_EQ(replacement.kind, role::probe);
  EXPECT_EQ(breaker.timed_out(lost).kind, what::none);
  breaker.abandoned(lost);
  EXPECT_EQ(breaker.current(), breaker_state::probing) << "the old probe no longer counts";
  EXPECT_EQ(breaker.succeeded(replacement).kind, what::closed);
}

}  // namespace
