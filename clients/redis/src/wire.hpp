#pragma once

// The Redis wire protocol, kept apart from the socket: hiredis formats commands and parses
// replies straight into our owning `reply` values.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "clients/redis/reply.hpp"

struct redisReader;

namespace clients::redis::detail {

/// A command in wire form, ready to be written.
class wire_command {
 public:
  wire_command() = default;
  const char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  /// A copy, for a command that may have to be sent again (to another cluster node).
  wire_command clone() const;

 private:
  friend wire_command format_command(std::span<const std::string_view> args);
  struct free_command {
    void operator()(char* p) const;
  };
  std::unique_ptr<char, free_command> bytes_;
  std::size_t size_ = 0;
};

/// Formats args (binary-safe) as one command. Throws std::invalid_argument when args is empty.
wire_command format_command(std::span<const std::string_view> args);

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
