#pragma once
// Context manager for database transactions with proper cleanup: commit when the block
// succeeds; roll back and re-raise the same error when it (or the commit) fails; close always.

#include <exception>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include "host/cancellation.hpp"
#include "host/database/session.hpp"

namespace mapsvc::tile_gateway {

namespace detail {

template <class>
struct awaitable_value;
template <class T>
struct awaitable_value<boost::asio::awaitable<T>> {
  using type = T;
};

}  // namespace detail

// Runs `block(db)` in one transaction on `db`. Cancellation closes the session without a
// rollback. If the rollback fails its error leaves the scope; if the close fails, its error.
template <class Block>
auto db_transaction(host::database::session& db, Block block)
    -> boost::asio::awaitable<typename detail::awaitable_value<std::invoke_result_t<Block&, host::database::session&>>::type> {
  using value_type = typename detail::awaitable_value<std::invoke_result_t<Block&, host::database::session&>>::type;
  std::optional<value_type> value;
  std::exception_ptr error;
  try {
    value.emplace(co_await block(db));
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    try {
      co_await db.commit();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error && !host::is_cancellation(error)) {
    try {
      co_await db.rollback();
    } catch (...) {
      error = std::current_exception();
    }
  }
  try {
    co_await db.close();
  } catch (...) {
    error = std::current_exception();
  }
  if (error) std::rethrow_exception(error);
  co_return std::move(*value);
}

}  // namespace mapsvc::tile_gateway
