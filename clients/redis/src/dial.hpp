#pragma once
// Opening a socket to Redis, and finding which server to open it to: the one configured, or
// the primary that Sentinel names now.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"

namespace clients::redis::detail {

namespace asio = boost::asio;

/// A socket open to the server `opts` name, and its address: `host:port`, or the primary of
/// `sentinel_master` as the first sentinel that answers names it (each sentinel has at most a
/// second), checked with ROLE since right after a failover a sentinel may still name the old
/// one; `opts.db` is selected on it. All of it before `deadline` expires or is cancelled, else
/// timeout_error; connection_error when no server could be reached or it refused.
struct open_server {
  asio::ip::tcp::socket socket;
  address where;
};
asio::awaitable<open_server> open_socket(asio::any_io_executor ex, const options& opts, asio::steady_timer& deadline);

}  // namespace clients::redis::detail
