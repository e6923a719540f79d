#pragma once
// Plan renders off the event loop: a few worker threads, a bounded number of renders and bytes
// of request body admitted, and each caller resumed on its own event loop as soon as its own
// render ends.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "host/metrics/registry.hpp"

namespace mapsvc::plans {

// More renders were asked for than the queue admits; try again after `retry_after`.
class queue_full : public std::runtime_error {
 public:
  explicit queue_full(std::chrono::seconds retry_after)
      : std::runtime_error("too many plans are being rendered"), retry_after_(retry_after) {}
  std::chrono::seconds retry_after() const { return retry_after_; }

 private:
  std::chrono::seconds retry_after_;
};

struct render_queue_options {
  std::size_t workers = 2;      // threads that render, at a lower CPU priority than the event loop
  std::size_t max_waiting = 8;  // renders admitted beyond those running; more are refused
  // Bytes of request body that admitted renders and batches may hold at once: a body stays in
  // memory while its plan is read and drawn (a batch's while all its pages are), so the count of
  // renders alone would let a handful of 16 MB bodies take hundreds of megabytes. One body is
  // admitted whatever its size when no other holds any, so that every body accepted can be drawn.
  std::size_t max_bytes = 64 * 1024 * 1024;
  // Where each job's time on the render threads is counted (unbound: not counted).
  host::metrics::histogram render_time{};
};

// Declares the family render_queue_options::render_time is bound from.
host::metrics::histogram_family declare_render_metrics(host::metrics::registry& families);

class render_queue {
 public:
  explicit render_queue(render_queue_options options);
  ~render_queue();  // waits for the renders in progress
  render_queue(const render_queue&) = delete;
  render_queue& operator=(const render_queue&) = delete;

  // Bytes held in the queue's budget until this is destroyed (on the event loop thread).
  class byte_hold {
   public:
    byte_hold(byte_hold&& other) noexcept : queue_(std::exchange(other.queue_, nullptr)), bytes_(other.bytes_) {}
    byte_hold& operator=(byte_hold&&) = delete;
    ~byte_hold() {
      if (queue_) queue_->held_bytes_ -= bytes_;
    }

   private:
    friend class render_queue;
    byte_hold(render_queue* queue, std::size_t bytes) : queue_(queue), bytes_(bytes) { queue_->held_bytes_ += bytes_; }
    render_queue* queue_;
    std::size_t bytes_;
  };

  // Holds `bytes` of request body (a batch's, for the whole batch); throws queue_full when they
  // do not fit in the budget.
  byte_hold hold_bytes(std::size_t bytes);

  // Runs `job` on a worker and returns its result (or rethrows its exception) on the calling
  // coroutine's executor, holding `bytes` of the budget meanwhile. Throws queue_full at once when
  // the queue is full or the bytes do not fit. Must be called from one event loop thread (the
  // admission counts are not locked).
  template <typename T>
  boost::asio::awaitable<T> run(std::function<T()> job, std::size_t bytes = 0);

  std::size_t admitted() const { return admitted_; }
  std::size_t capacity() const { return options_.workers + options_.max_waiting; }
  std::size_t held_bytes() const { return held_bytes_; }

  // How long a refused caller should wait: the admitted renders' estimated time to drain.
  std::chrono::seconds retry_after() const;

 private:
  // Wraps a job so that it runs at the workers' priority and updates the render time estimate.
  void execute(const std::function<void()>& job);
  bool bytes_fit(std::size_t bytes) const;

  render_queue_options options_;
  boost::asio::thread_pool pool_;
  std::size_t admitted_ = 0;
  std::size_t held_bytes_ = 0;
  std::atomic<std::int64_t> mean_render_us_{200'000};
};

template <typename T>
boost::asio::awaitable<T> render_queue::run(std::function<T()> job, std::size_t bytes) {
  namespace asio = boost::asio;
  if (admitted_ >= capacity() || !bytes_fit(bytes)) throw queue_full(retry_after());
  const byte_hold body{this, bytes};
  ++admitted_;
  struct admission {
    std::size_t& count;
    ~admission() { --count; }
  } const held{admitted_};

  auto caller = co_await asio::this_coro::executor;
  auto start = [this, caller, job = std::move(job)](auto handler) mutable {
    // Handed straight back to the caller's loop: a completion queued behind other renders
    // would hold every answer until the whole queue had drained.
    asio::post(pool_, [this, job = std::move(job), handler = std::move(handler),
                       guard = asio::make_work_guard(caller)]() mutable {
      std::exception_ptr failure;
      T result{};
      execute([&] {
        try {
          result = job();
        } catch (...) {
          failure = std::current_exception();
        }
      });
      asio::post(guard.get_executor(), [handler = std::move(handler), failure, result = std::move(result)]() mutable {
        std::move(handler)(failure, std::move(result));
      });
    });
  };
  co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, T)>(
      std::move(start), asio::use_awaitable);
}

}  // namespace mapsvc::plans
