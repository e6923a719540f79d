#pragma once
// A plain blocking socket to a server on this machine, so a test controls every byte on the
// wire.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>

namespace test_support {

/// A socket connected to 127.0.0.1:`port` whose reads give up after 5 s; with `receive_buffer`,
/// that receive buffer (set before connecting, so a client that does not read fills it soon).
/// Throws std::runtime_error when nothing accepts.
inline int connect_loopback(unsigned short port, std::optional<int> receive_buffer = std::nullopt) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &*receive_buffer, sizeof *receive_buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("connect");
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

}  // namespace test_support
