// Concurrent misses of one tile share one build: its result, its error, or, when the builder
// is cancelled, a build of their own.
#include <gtest/gtest.h>

#include <stdexcept>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "mapsvc/tile_gateway/coalescer.hpp"

namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;
using mapsvc::tile_gateway::coalescer;

struct outcome {
  int value = 0;
  std::string error;
  bool done = false;
};

// A build that takes a while, so that the other requests arrive while it runs.
asio::awaitable<int> slow_build(int& builds, int value, bool fail) {
  ++builds;
  asio::steady_timer t(co_await asio::this_coro::executor, 30ms);
  co_await t.async_wait(asio::use_awaitable);
  if (fail) throw std::runtime_error("statement failed");
  co_return value;
}

asio::awaitable<void> request(coalescer<int>& c, std::string key, int& builds, int value, bool fail, outcome& out) {
  try {
    out.value = co_await c.run(key, [&] { return slow_build(builds, value, fail); });
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.done = true;
}

TEST(Coalescer, ConcurrentRequestsShareOneBuildAndItsError) {
  asio::io_context io;
  coalescer<int> c;
  int builds = 0;
  std::vector<outcome> same(5), other(1), failing(3);
  for (auto& o : same) asio::co_spawn(io, request(c, "plots:15:1:2", builds, 42, false, o), asio::detached);
  asio::co_spawn(io, request(c, "plots:15:1:3", builds, 7, false, other[0]), asio::detached);
  for (auto& o : failing) asio::co_spawn(io, request(c, "lgas:2:1:1", builds, 0, true, o), asio::detached);
  io.run();
  EXPECT_EQ(builds, 3);  // one per key
  for (const auto& o : same) EXPECT_EQ(o.value, 42);
  EXPECT_EQ(other[0].value, 7);
  for (const auto& o : failing) EXPECT_EQ(o.error, "statement failed");
  EXPECT_EQ(c.in_flight(), 0u);

  // Later requests build again: only concurrent ones share.
  outcome later;
  asio::co_spawn(io, request(c, "plots:15:1:2", builds, 43, false, later), asio::detached);
  io.restart();
  io.run();
  EXPECT_EQ(later.value, 43);
  EXPECT_EQ(builds, 4);
}

TEST(Coalescer, WaitersBuildForThemselvesWhenTheBuilderIsCancelled) {
  asio::io_context io;
  coalescer<int> c;
  int builds = 0;
  outcome leader, waiter;
  asio::cancellation_signal cancel;
  asio::co_spawn(io, request(c, "k", builds, 1, false, leader), asio::bind_cancellation_slot(cancel.slot(), asio::detached));
  asio::co_spawn(io, request(c, "k", builds, 2, false, waiter), asio::detached);
  asio::steady_timer soon(io, 5ms);
  soon.async_wait([&](auto) { cancel.emit(asio::cancellation_type::terminal); });
  io.run();
  EXPECT_FALSE(leader.error.empty());
  EXPECT_EQ(waiter.value, 2);
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(c.in_flight(), 0u);
}

}  // namespace
