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

asio::awaitable<void> submit(render_queue& queue, std::function<int()> job, outcome& out) {
  try {
    auto work = queue.run(std::move(job));
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

}  // namespace
