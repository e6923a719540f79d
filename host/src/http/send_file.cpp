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

// Repeats `attempt` (one non-blocking send that accounts for the bytes it sent and returns what
// the system call returned) until `done`, waiting whenever the socket is full; false on an
// error, or when the socket takes nothing for `timeout`.
template <class Attempt, class Done>
asio::awaitable<bool> until_sent(tcp::socket& socket, std::chrono::milliseconds timeout, Attempt attempt, Done done) {
  while (!done()) {
    const ssize_t n = attempt();
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!co_await writable(socket, timeout)) co_return false;
      continue;
    }
    co_return false;  // an error, or (sendfile) the file shorter than it should be
  }
  co_return true;
}

}  // namespace

asio::awaitable<bool> send_head_and_payload(tcp::socket& socket, std::string_view head, std::string_view payload,
                                            std::chrono::milliseconds timeout) {
  if (!sending_without_blocking(socket)) co_return false;
  const int fd = socket.native_handle();
  const auto send_some = [&] {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                      {const_cast<char*>(payload.data()), payload.size()}};
    msghdr message{};
    message.msg_iov = head.empty() ? parts + 1 : parts;
    message.msg_iovlen = head.empty() ? 1 : 2;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n > 0) {
      const auto from_head = std::min(static_cast<std::size_t>(n), head.size());
      head.remove_prefix(from_head);
      payload.remove_prefix(static_cast<std::size_t>(n) - from_head);
    }
    return n;
  };
  co_return co_await until_sent(socket, timeout, send_some, [&] { return head.empty() && payload.empty(); });
}

asio::awaitable<bool> send_head_and_file(tcp::socket& socket, std::string_view head, file_range body,
                                         std::chrono::milliseconds timeout) {
  if (!sending_without_blocking(socket)) co_return false;
  const int fd = socket.native_handle();
  // The head with MSG_MORE: it leaves in the same segment as the body's first bytes.
  const auto send_head = [&] {
    const ssize_t n = ::send(fd, head.data(), head.size(), MSG_MORE | MSG_NOSIGNAL);
    if (n > 0) head.remove_prefix(static_cast<std::size_t>(n));
    return n;
  };
  if (!co_await until_sent(socket, timeout, send_head, [&] { return head.empty(); })) co_return false;
  auto offset = static_cast<off_t>(body.offset);
  std::size_t left = body.size;
  const auto send_body = [&] {
    const ssize_t n = ::sendfile(fd, body.fd, &offset, left);
    if (n > 0) left -= static_cast<std::size_t>(n);
    return n;
  };
  co_return co_await until_sent(socket, timeout, send_body, [&] { return left == 0; });
}

}  // namespace host::http
