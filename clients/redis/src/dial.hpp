#pragma once
// Opening a socket to Redis, and finding which server to open it to: the one configured, or
// the primary that Sentinel names now.

#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"
#include "connection.hpp"

namespace clients::redis::detail {

namespace asio = boost::asio;

/// A started connection to the server `opts` name: `host:port`, or the primary of
/// `sentinel_master` as the first sentinel that answers names it (each sentinel has at most a
/// second), checked with ROLE since right after a failover a sentinel may still name the old
/// one. `opts.db` is selected before anyone else may use it. All of it before `deadline`
/// expires or is cancelled, else timeout_error; connection_error when no server could be
/// reached or it refused. `on_push`: as `connection::start` takes it.
asio::awaitable<std::shared_ptr<connection>> open_connection(asio::any_io_executor ex, const options& opts,
                                                             asio::steady_timer& deadline,
                                                             connection::push_handler on_push = {});

}  // namespace clients::redis::detail
