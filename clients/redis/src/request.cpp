#include "request.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "clients/redis/errors.hpp"

namespace clients::redis::detail {

clock::time_point deadline_after(std::optional<std::chrono::milliseconds> timeout) {
  // Beyond a year is "never"; it also keeps now() + timeout from overflowing.
  if (!timeout || *timeout > std::chrono::hours(24 * 366)) return clock::time_point::max();
  return clock::now() + *timeout;
}

clock::time_point connect_deadline(const options& opts) {
  return opts.connect_timeout.count() > 0 ? deadline_after(opts.connect_timeout) : clock::time_point::max();
}

request::request(const asio::any_io_executor& executor, clock::time_point deadline)
    : timer_(executor, deadline) {}

void request::complete(reply value) {
  if (done_) return;
  done_ = true;
  if (!abandoned_) value_ = std::move(value);
  timer_.cancel();
}

void request::fail(std::exception_ptr why) {
  if (done_) return;
  done_ = true;
  error_ = std::move(why);
  timer_.cancel();
}

asio::awaitable<reply> request::wait(const char* timeout_message) {
  boost::system::error_code ec;
  if (!done_) std::tie(ec) = co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
  // Completion wins over an expiry that raced with it.
  if (done_) {
    if (error_) std::rethrow_exception(error_);
    co_return std::move(value_);
  }
  abandoned_ = true;
  if (ec) throw boost::system::system_error(ec);
  throw timeout_error(timeout_message);
}

}  // namespace clients::redis::detail
