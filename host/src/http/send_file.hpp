#pragma once
// Sends an answer straight to the socket: written at once when the socket takes it (most
// answers do), waited for only when it does not. A large body kept in a file goes by the
// kernel from the file's pages, without a copy through user space.

#include <chrono>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "host/http/representation.hpp"

namespace host::http {

// False when the socket failed, or did not take the bytes within `timeout` of the last
// progress (the connection cannot go on then).
boost::asio::awaitable<bool> send_head_and_file(boost::asio::ip::tcp::socket& socket, std::string_view head,
                                                file_range body, std::chrono::milliseconds timeout);

// The head and a body held in memory, in one gathered write; same contract.
boost::asio::awaitable<bool> send_head_and_payload(boost::asio::ip::tcp::socket& socket, std::string_view head,
                                                   std::string_view payload, std::chrono::milliseconds timeout);

}  // namespace host::http
