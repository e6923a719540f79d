#include "deadline.hpp"

#include <printsvc/plots/errors.hpp>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace printsvc::plots::detail {

namespace {

std::chrono::nanoseconds thread_time() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) throw std::system_error(errno, std::generic_category());
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

deadline deadline::after(std::chrono::milliseconds time_limit) {
  const std::chrono::nanoseconds now = thread_time();
  // Compared in milliseconds: a huge limit in nanoseconds would overflow.
  if (time_limit >= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max() - now))
    return none();
  return deadline(now + time_limit);
}

std::chrono::nanoseconds deadline::remaining() const {
  if (at_ == std::chrono::nanoseconds::max()) return at_;
  return std::max(std::chrono::nanoseconds::zero(), at_ - thread_time());
}

void deadline::check() const {
  if (at_ != std::chrono::nanoseconds::max() && thread_time() >= at_)
    throw render_timeout_error("the plan could not be drawn within its time limit: it holds too much to draw");
}

}  // namespace printsvc::plots::detail
