#pragma once
// Sends an answer's head from memory and its body from a file, the kernel moving the file's
// pages to the socket without a copy through user space.

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

}  // namespace host::http
