#pragma once

#include <stdexcept>
#include <string>

namespace clients::redis {

/// Root of every failure the Redis client reports.
class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The connection could not be opened, was lost (reset, end of stream) or carried bytes
/// that are not the Redis protocol. The next call opens a new connection.
class connection_error : public error {
 public:
  using error::error;
};

/// Redis answered with an error reply; what() is the server's text. The connection stays usable.
class reply_error : public error {
 public:
  using error::error;
};

/// A deadline passed: the connect time-out, the socket time-out (the connection is then
/// dropped) or the caller's own time-out (only that caller gives up).
class timeout_error : public error {
 public:
  using error::error;
};

}  // namespace clients::redis
