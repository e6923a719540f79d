#pragma once
// Whether an error is the cancellation of the waiting coroutine itself (shutdown, a client
// gone, an outer time-out) rather than a failure of what it waited for. Code that turns
// failures into answers or log lines lets cancellations pass through instead.

#include <exception>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace host {

inline bool is_cancellation(const boost::system::error_code& ec) {
  return ec == boost::asio::error::operation_aborted;
}

inline bool is_cancellation(const std::exception& e) {
  const auto* system = dynamic_cast<const boost::system::system_error*>(&e);
  return system && is_cancellation(system->code());
}

inline bool is_cancellation(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return is_cancellation(x);
  } catch (...) {
    return false;
  }
}

}  // namespace host
