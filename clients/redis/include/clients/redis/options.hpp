#pragma once

#include <chrono>
#include <string>

namespace clients::redis {

/// Where and how the client connects. Defaults suit a Redis on this machine.
struct options {
  std::string host = "localhost";
  int port = 6379;
  /// Database number, selected on every (re)connect when non-zero.
  int db = 0;
  /// Bounds name resolution, TCP connect and SELECT together. Zero or less: no limit.
  std::chrono::milliseconds connect_timeout{5000};
  /// A connection whose oldest pending command has had no answer for this long is dropped.
  /// Zero or less: never (callers' own time-outs still apply).
  std::chrono::milliseconds socket_timeout{5000};
  /// Connections that share the callers' commands (each one pipelined); at least 1.
  int connections = 1;
};

}  // namespace clients::redis
