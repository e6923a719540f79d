#pragma once

#include <chrono>
#include <exception>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"

namespace clients::redis::detail {

namespace asio = boost::asio;
using clock = std::chrono::steady_clock;

/// Converts a caller's optional time-out into a deadline (none: never).
clock::time_point deadline_after(std::optional<std::chrono::milliseconds> timeout);

/// The deadline of a connect begun now: the connect time-out of `opts` (none when not positive).
clock::time_point connect_deadline(const options& opts);

/// One caller's wait for its reply. The timer expires at the caller's deadline and is
/// cancelled early to wake the caller, so one object serves as both the completion signal and
/// the time-out. Whoever completes it may outlive the caller: a request
/// abandoned at its deadline keeps its place in the pending queue until its reply arrives.
class request {
 public:
  request(const asio::any_io_executor& executor, clock::time_point deadline);

  void complete(reply value);
  void fail(std::exception_ptr why);

  /// Suspends until completion; returns the reply or throws the failure. Throws timeout_error
  /// at the deadline, or the cancellation error when the awaiting coroutine is cancelled;
  /// both mark the request abandoned.
  asio::awaitable<reply> wait(const char* timeout_message);

 private:
  asio::steady_timer timer_;
  bool done_ = false;
  bool abandoned_ = false;
  reply value_;
  std::exception_ptr error_;
};

}  // namespace clients::redis::detail
