#include "send_file.hpp"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <algorithm>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace host::http {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

// Waits until the socket takes more bytes; false on error or after `timeout`.
asio::awaitable<bool> writable(tcp::socket& socket, std::chrono::milliseconds timeout) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer deadline(socket.get_executor(), timeout);
  auto outcome = co_await (socket.async_wait(tcp::socket::wait_write, nothrow) || deadline.async_wait(nothrow));
  co_return outcome.index() == 0 && !std::get<0>(std::get<0>(outcome));
}

// The socket in non-blocking mode, as the event loop leaves it after its first operation (set
// only when not yet: each setting is a system call).
bool sending_without_blocking(tcp::socket& socket) {
  if (socket.native_non_blocking()) return true;
  boost::system::error_code ec;
  socket.native_non_blocking(true, ec);
  return !ec;
}

}  // namespace

asio::awaitable<bool> send_head_and_payload(tcp::socket& socket, std::string_view head, std::string_view payload,
                                            std::chrono::milliseconds timeout) {
  if (!sending_without_blocking(socket)) co_return false;
  const int fd = socket.native_handle();
  while (!head.empty() || !payload.empty()) {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                      {const_cast<char*>(payload.data()), payload.size()}};
    msghdr message{};
    message.msg_iov = head.empty() ? parts + 1 : parts;
    message.msg_iovlen = head.empty() ? 1 : 2;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n > 0) {
      auto sent = static_cast<std::size_t>(n);
      const auto from_head = std::min(sent, head.size());
      head.remove_prefix(from_head);
      payload.remove_prefix(sent - from_head);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!co_await writable(socket, timeout)) co_return false;
    } else {
      co_return false;
    }
  }
  co_return true;
}

asio::awaitable<bool> send_head_and_file(tcp::socket& socket, std::string_view head, file_range body,
                                         std::chrono::milliseconds timeout) {
  if (!sending_without_blocking(socket)) co_return false;
  const int fd = socket.native_handle();
  // The head with MSG_MORE: it leaves in the same segment as the body's first bytes.
  while (!head.empty()) {
    const ssize_t n = ::send(fd, head.data(), head.size(), MSG_MORE | MSG_NOSIGNAL);
    if (n > 0) {
      head.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!co_await writable(socket, timeout)) co_return false;
    } else {
      co_return false;
    }
  }
  auto offset = static_cast<off_t>(body.offset);
  std::size_t left = body.size;
  while (left > 0) {
    const ssize_t n = ::sendfile(fd, body.fd, &offset, left);
    if (n > 0) {
      left -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!co_await writable(socket, timeout)) co_return false;
    } else {
      co_return false;  // an error, or the file shorter than it should be
    }
  }
  co_return true;
}

}  // namespace host::http
