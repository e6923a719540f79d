#include "send_file.hpp"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>
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

}  // namespace

asio::awaitable<bool> send_head_and_file(tcp::socket& socket, std::string_view head, file_range body,
                                         std::chrono::milliseconds timeout) {
  boost::system::error_code ec;
  socket.native_non_blocking(true, ec);
  if (ec) co_return false;
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
