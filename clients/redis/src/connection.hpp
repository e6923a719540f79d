#pragma once

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "request.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

/// One pipelined connection. Commands are queued and written in batches by one writer; their
/// requests wait in a FIFO that one reader completes in order, since Redis answers in order.
/// A watchdog drops the connection when the oldest pending command has had no answer (no
/// bytes at all) for the socket time-out. Once closed, a connection is never reused.
///
/// A connection that also carries what the server sends unasked (the messages of a
/// subscription) is given a push handler: every reply is offered to it first, and one it
/// takes (returns true) is not an answer to a pending command.
class connection : public std::enable_shared_from_this<connection> {
 public:
  using push_handler = std::function<bool(reply&)>;

  connection(asio::ip::tcp::socket socket, std::string peer, std::chrono::milliseconds socket_timeout);

  /// Starts the reader, writer and watchdog; they keep the connection alive until it closes.
  static void start(const std::shared_ptr<connection>& self, push_handler on_push = {});

  /// Queues a command; `req` completes with its reply. Throws connection_error once closed.
  void send(wire_command command, std::shared_ptr<request> req);

  /// Closes the socket and fails every pending request with `why`. Idempotent.
  void close(std::exception_ptr why);

  bool alive() const { return !closed_; }
  const std::string& peer() const { return peer_; }

 private:
  static asio::awaitable<void> read_loop(std::shared_ptr<connection> self);
  static asio::awaitable<void> write_loop(std::shared_ptr<connection> self);
  static asio::awaitable<void> watch_loop(std::shared_ptr<connection> self);
  void deliver(reply value);

  asio::ip::tcp::socket socket_;
  std::string peer_;
  std::chrono::milliseconds socket_timeout_;
  reply_parser parser_;
  push_handler on_push_;
  std::vector<wire_command> queue_;
  std::deque<std::shared_ptr<request>> pending_;
  asio::steady_timer writer_wake_;
  asio::steady_timer watchdog_;
  clock::time_point last_progress_;
  bool writer_idle_ = false;
  bool watchdog_idle_ = false;
  bool closed_ = false;
};

}  // namespace clients::redis::detail
