#pragma once
// The one statement shape both tile endpoints run: a single bytea value, or nothing.

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "host/database/session.hpp"

namespace mapsvc::tile_gateway::detail {

// The tile's bytes; none for no row or NULL. The statement's COMMIT travels with it, so a
// tile costs one round trip to the database; on failure nothing is committed and the
// transaction scope rolls back. Raises the session's errors, and clients::pg::timeout_error
// when the statement outlives `timeout`.
inline boost::asio::awaitable<std::optional<std::string>> fetch_tile(host::database::session& db,
                                                                     const std::string& sql,
                                                                     const clients::pg::params& params,
                                                                     std::chrono::milliseconds timeout) {
  const auto result = co_await db.execute_and_commit(sql, params, timeout);
  const auto value = result.scalar_one_or_none();
  if (!value || value->is_null()) co_return std::nullopt;
  co_return std::string(value->bytes());
}

}  // namespace mapsvc::tile_gateway::detail
