// The change hub: which batches a resuming stream gets, when it must reload instead, and how
// a stream waits for the next batch.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "mapsvc/tile_gateway/change_hub.hpp"

namespace {
using namespace mapsvc::tile_gateway;
using namespace std::chrono_literals;
namespace asio = boost::asio;

change_batch batch(std::int64_t position) { return {position, {{"plots", 7.4, 9.0, 7.5, 9.1, 8, 20}}}; }

std::vector<std::int64_t> positions(const std::optional<std::vector<change_batch>>& batches) {
  std::vector<std::int64_t> out;
  for (const auto& b : batches.value()) out.push_back(b.position);
  return out;
}

using list = std::vector<std::int64_t>;

TEST(ChangeHub, ResumesAfterAPositionUntilBatchesAreLetGo) {
  change_hub hub(3);
  EXPECT_EQ(hub.last_position(), 0);
  EXPECT_EQ(positions(hub.since(0)), list{});
  // Positions come from a database sequence: gaps are normal.
  for (const std::int64_t p : {2, 3, 5}) hub.publish(batch(p));
  EXPECT_EQ(positions(hub.since(0)), (list{2, 3, 5}));
  EXPECT_EQ(positions(hub.since(3)), (list{5}));
  EXPECT_EQ(positions(hub.since(4)), (list{5}));
  EXPECT_EQ(positions(hub.since(5)), list{});
  EXPECT_EQ(positions(hub.since(9)), list{});  // a client ahead of this worker's hub

  hub.publish(batch(8));  // lets 2 go
  EXPECT_EQ(hub.last_position(), 8);
  EXPECT_FALSE(hub.since(0));
  EXPECT_FALSE(hub.since(1));  // batch 2 was after it and is gone
  EXPECT_EQ(positions(hub.since(2)), (list{3, 5, 8}));
}

TEST(ChangeHub, RefusesBatchesOutOfOrderAndResumesFromBeforeItsStart) {
  change_hub hub;
  hub.start_at(100);
  EXPECT_EQ(hub.last_position(), 100);
  EXPECT_FALSE(hub.since(99));
  EXPECT_EQ(positions(hub.since(100)), list{});
  EXPECT_THROW(hub.publish(batch(100)), std::invalid_argument);
  hub.publish(batch(101));
  EXPECT_THROW(hub.publish(batch(101)), std::invalid_argument);
  EXPECT_THROW(hub.publish(batch(50)), std::invalid_argument);
  EXPECT_THROW(hub.start_at(200), std::logic_error);
  EXPECT_EQ(positions(hub.since(100)), (list{101}));
}

TEST(ChangeHub, EventJson) {
  const change_batch b{42,
                       {{"plots", 7.49, 9.05, 7.4912345678, 9.1, 8, 20}, {"lgas", -180, -85.0511287798066, 180, 0.5, 2, 20}}};
  EXPECT_EQ(change_event_json(b),
            R"({"position":42,"changes":[{"layer":"plots","bbox":[7.49,9.05,7.4912345678,9.1],"minzoom":8,"maxzoom":20},)"
            R"({"layer":"lgas","bbox":[-180.0,-85.0511287798066,180.0,0.5],"minzoom":2,"maxzoom":20}]})");
  EXPECT_EQ(change_event_json({7, {}}), R"({"position":7,"changes":[]})");
}

class Subscriptions : public ::testing::Test {
 protected:
  template <class T>
  T run(asio::awaitable<T> work) {
    auto f = asio::co_spawn(io, std::move(work), asio::use_future);
    io.restart();
    io.run();
    return f.get();
  }
  asio::io_context io;
  change_hub hub;
};

asio::awaitable<bool> wait_then_publish(change_hub& hub, change_hub::subscription& s, std::int64_t after) {
  asio::steady_timer later(co_await asio::this_coro::executor, 20ms);
  later.async_wait([&hub](boost::system::error_code) { hub.publish(batch(hub.last_position() + 1)); });
  co_return co_await s.wait(after, 10s);
}

TEST_F(Subscriptions, WaitEndsOnAPublishOrAtItsTimeout) {
  auto s = hub.subscribe(io.get_executor());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(run(wait_then_publish(hub, *s, 0)));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_TRUE(run(s->wait(0, 10s)));  // batch 1 is already after 0: no waiting
  EXPECT_FALSE(run(s->wait(1, 30ms)));
  EXPECT_TRUE(run(wait_then_publish(hub, *s, 1)));
  EXPECT_EQ(positions(s->since(0)), (list{1, 2}));
}

TEST_F(Subscriptions, CountedWhileAliveAndCancellable) {
  auto a = hub.subscribe(io.get_executor());
  {
    auto b = hub.subscribe(io.get_executor());
    EXPECT_EQ(hub.subscribers(), 2u);
  }
  EXPECT_EQ(hub.subscribers(), 1u);

  asio::cancellation_signal cancel;
  auto f = asio::co_spawn(io, a->wait(0, 10s), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
  io.poll();
  cancel.emit(asio::cancellation_type::terminal);
  io.run();
  EXPECT_THROW(f.get(), boost::system::system_error);
  // A cancelled waiter is no longer woken: publishing must not touch it.
  hub.publish(batch(1));
  a.reset();
  EXPECT_EQ(hub.subscribers(), 0u);
}

TEST_F(Subscriptions, OutliveTheirHub) {
  auto other = std::make_unique<change_hub>();
  auto s = other->subscribe(io.get_executor());
  other->publish(batch(4));
  other.reset();
  EXPECT_EQ(positions(s->since(0)), (list{4}));
  EXPECT_FALSE(run(s->wait(4, 10ms)));
}

}  // namespace
