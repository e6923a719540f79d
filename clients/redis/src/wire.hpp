#pragma once

// The Redis wire protocol, kept apart from the socket: commands in RESP, and replies parsed by
// hiredis straight into our owning `reply` values.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "clients/redis/reply.hpp"

struct redisReader;

namespace clients::redis::detail {

/// A command in wire form, ready to be written.
using wire_command = std::string;

/// Formats args (binary-safe) as one command. Throws std::invalid_argument when args is empty.
wire_command format_command(std::span<const std::string_view> args);

/// The command of these arguments (anything a string_view can be made of).
template <typename... Args>
wire_command command_of(const Args&... args) {
  const std::array<std::string_view, sizeof...(Args)> parts{std::string_view(args)...};
  return format_command(parts);
}

/// Incremental reply parser: feed bytes as they arrive, take complete replies in order.
class reply_parser {
 public:
  reply_parser();
  ~reply_parser();
  reply_parser(const reply_parser&) = delete;
  reply_parser& operator=(const reply_parser&) = delete;

  /// Throws connection_error when hiredis cannot buffer the bytes.
  void feed(const char* data, std::size_t size);

  /// The next complete reply, or none when more bytes are needed.
  /// Throws connection_error when the stream is not the Redis protocol; the parser is then unusable.
  std::optional<reply> next();

 private:
  redisReader* reader_;
};

}  // namespace clients::redis::detail
