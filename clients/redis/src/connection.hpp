#pragma once

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "clients/redis/options.hpp"
#include "request.hpp"
#include "wire.hpp"

namespace clients::redis::detail {

/// One pipelined connection. It opens itself: until it is open, commands wait in its queue;
/// if it cannot be opened they fail with the reason. Once open, commands are written in
/// batches by one writer; their requests wait in a FIFO that one reader completes in order,
/// since Redis answers in order. A watchdog drops the connection when the oldest pending
/// command has had no answer (no bytes at all) for the socket time-out. Once closed, a
/// connection is never reused.
///
/// A connection that also carries what the server sends unasked (the messages of a
/// subscription) is given a push handler: every reply is offered to it first, and one it
/// takes (returns true) is not an answer to a pending command. Such an owner may also want to
/// hear at once when the connection ends: `on_close` runs when it closes, whatever the cause.
class connection : public std::enable_shared_from_this<connection> {
 public:
  using push_handler = std::function<bool(reply&)>;

  /// Starts opening a connection to the server `opts` name (see `open_socket`), bounded by the
  /// connect time-out.
  static std::shared_ptr<connection> open(asio::any_io_executor ex, const options& opts, push_handler on_push = {},
                                          std::function<void()> on_close = {});

  connection(asio::any_io_executor ex, const options& opts, push_handler on_push, std::function<void()> on_close);

  /// Queues a command; `req` completes with its reply. Throws connection_error once closed.
  void send(wire_command command, std::shared_ptr<request> req);

  /// Closes the socket (or ends the opening) and fails every pending request with `why`.
  /// Idempotent.
  void close(std::exception_ptr why);

  bool alive() const { return !closed_; }
  bool opened() const { return opened_; }
  const std::string& peer() const { return peer_; }

  /// Whether it could not be opened because the server refused or could not be reached (not a
  /// time-out) less than `window` ago; then `refusal()` is why.
  bool refused_within(std::chrono::milliseconds window) const;
  std::exception_ptr refusal() const { return refusal_; }

 private:
  static asio::awaitable<void> connect(std::shared_ptr<connection> self, options opts);
  static asio::awaitable<void> read_loop(std::shared_ptr<connection> self);
  static asio::awaitable<void> write_loop(std::shared_ptr<connection> self);
  static asio::awaitable<void> watch_loop(std::shared_ptr<connection> self);
  void deliver(reply value);

  asio::ip::tcp::socket socket_;
  std::string peer_;
  std::chrono::milliseconds socket_timeout_;
  push_handler on_push_;
  std::function<void()> on_close_;
  reply_parser parser_;
  std::vector<wire_command> queue_;
  std::deque<std::shared_ptr<request>> pending_;
  asio::steady_timer opening_;  // the connect time-out; cancelled by close()
  asio::steady_timer writer_wake_;
  asio::steady_timer watchdog_;
  clock::time_point last_progress_;
  std::exception_ptr refusal_;
  clock::time_point refused_at_{};
  bool opened_ = false;
  bool writer_idle_ = false;
  bool watchdog_idle_ = false;
  bool closed_ = false;
};

}  // namespace clients::redis::detail
