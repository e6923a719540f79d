// The render queue: bounded admission, results on the caller's loop, each as soon as it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "render_queue.hpp"

namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;
using mapsvc::plans::queue_full;
using mapsvc::plans::render_queue;
using clock_type = std::chrono::steady_clock;

struct outcome {
  int value = -1;
  std::string error;
  bool refused = false;
  std::thread::id resumed_on;
  clock_type::time_point at;
};

asio::awaitable<void> submit(render_queue& queue, std::function<int()> job, outcome& out, std::size_t bytes = 0) {
  try {
    auto work = queue.run(std::move(job), bytes);
    out.value = co_await std::move(work);
  } catch (const queue_full& e) {
    out.refused = true;
    EXPECT_GE(e.retry_after(), 1s);
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.resumed_on = std::this_thread::get_id();
  out.at = clock_type::now();
}

TEST(RenderQueue, AnswersEachCallerOnItsLoopAsSoonAsItsJobEnds) {
  asio::io_context io;
  render_queue queue({.workers = 1, .max_waiting = 3});
  std::vector<outcome> outcomes(4);
  for (int i = 0; i < 4; ++i) {
    std::function<int()> job = [i] {
      std::this_thread::sleep_for(60ms);
      return i * 10;
    };
    asio::co_spawn(io, submit(queue, std::move(job), outcomes[i]), asio::detached);
  }
  io.run();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(outcomes[i].value, i * 10);
    EXPECT_EQ(outcomes[i].resumed_on, std::this_thread::get_id());
  }
  // One worker runs them in turn: each caller resumes a job's length after the one before,
  // not all together when the queue has drained.
  for (int i = 1; i < 4; ++i) EXPECT_GE(outcomes[i].at - outcomes[i - 1].at, 40ms) << i;
  EXPECT_EQ(queue.admitted(), 0u);
}

TEST(RenderQueue, RefusesBeyondItsCapacityAndPassesErrorsOn) {
  asio::io_context io;
  render_queue queue({.workers = 1, .max_waiting = 1});
  std::vector<outcome> outcomes(4);
  for (int i = 0; i < 4; ++i) {
    std::function<int()> job = [i]() -> int {
      std::this_thread::sleep_for(20ms);
      if (i == 1) throw std::invalid_argument("bad record");
      return i;
    };
    asio::co_spawn(io, submit(queue, std::move(job), outcomes[i]), asio::detached);
  }
  io.run();
  EXPECT_EQ(outcomes[0].value, 0);
  EXPECT_EQ(outcomes[1].error, "bad record");
  EXPECT_TRUE(outcomes[2].refused);
  EXPECT_TRUE(outcomes[3].refused);
  EXPECT_EQ(queue.admitted(), 0u);

  // Admission is freed again once the work is done.
  outcome later;
  asio::co_spawn(io, submit(queue, [] { return 7; }, later), asio::detached);
  io.restart();
  io.run();
  EXPECT_EQ(later.value, 7);
}

TEST(RenderQueue, CountsBytesOfBodyBesidesRenders) {
  asio::io_context io;
  render_queue queue({.workers = 1, .max_waiting = 8, .max_bytes = 100});
  const std::function<int()> job = [] {
    std::this_thread::sleep_for(20ms);
    return 1;
  };
  {
    // A batch holds its body's bytes while its pages are drawn, each page taking none of its own.
    const auto batch = queue.hold_bytes(60);
    EXPECT_THROW(queue.hold_bytes(41), queue_full);
    std::vector<outcome> outcomes(3);
    asio::co_spawn(io, submit(queue, job, outcomes[0], 40), asio::detached);
    asio::co_spawn(io, submit(queue, job, outcomes[1], 1), asio::detached);  // 101 bytes: refused
    asio::co_spawn(io, submit(queue, job, outcomes[2]), asio::detached);
    io.run();
    EXPECT_EQ(outcomes[0].value, 1);
    EXPECT_TRUE(outcomes[1].refused);
    EXPECT_EQ(outcomes[2].value, 1);
    EXPECT_EQ(queue.held_bytes(), 60u);
  }
  EXPECT_EQ(queue.held_bytes(), 0u);

  // A body beyond the whole budget is drawn when no other holds any, but not beside another.
  std::vector<outcome> large(2);
  for (auto& out : large) asio::co_spawn(io, submit(queue, job, out, 500), asio::detached);
  io.restart();
  io.run();
  EXPECT_EQ(large[0].value, 1);
  EXPECT_TRUE(large[1].refused);
  EXPECT_EQ(queue.held_bytes(), 0u);
}

}  // namespace
