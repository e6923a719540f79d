#pragma once
// Opening a socket to Redis, and finding which server to open it to: the one configured, or
// the primary that Sentinel names now.

#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

namespace asio = boost::asio;

/// Resolves and connects, with TCP_NODELAY. Gives up with timeout_error when `deadline`
/// expires (or is cancelled) first, with connection_error when the server cannot be reached.
asio::awaitable<asio::ip::tcp::socket> dial(asio::any_io_executor ex, const address& where,
                                            asio::steady_timer& deadline);

/// Writes one command and reads its one reply on a socket nobody else uses, within `deadline`.
asio::awaitable<reply> exchange(asio::ip::tcp::socket& socket, const wire_command& command,
                                asio::steady_timer& deadline);

/// The server a connection should go to: `host:port`, or with sentinels the primary of
/// `sentinel_master` as the first sentinel that answers names it. Each sentinel has at most
/// a second of the `deadline`; throws connection_error when none names a primary.
asio::awaitable<address> locate_server(asio::any_io_executor ex, const options& opts, asio::steady_timer& deadline);

/// Asks a freshly opened connection to a Sentinel-named primary whether it is one (ROLE):
/// right after a failover a sentinel may still name the old primary. Throws connection_error
/// when it is not.
asio::awaitable<void> confirm_primary(asio::ip::tcp::socket& socket, const address& where,
                                      asio::steady_timer& deadline);

}  // namespace clients::redis::detail
