#pragma once
// HTTP/1.1 server: one io_context on one thread, a coroutine per connection, keep-alive,
// requests answered in order (pipelining-safe), size limits, time-outs, graceful shutdown.
// A request whose head already decides its answer (a limit, a bad Host, a route or caller the
// app refuses while the client waits on "Expect: 100-continue") is answered before its body is
// read, and the connection closed.
//
// Each connection's coroutine is bound to a cancellation signal of its own: shutdown ends idle
// connections and streamed answers at once and, at the end of the grace period, cancels whatever requests are
// still running, so a stuck handler cannot hold the process.

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "host/http/app.hpp"

namespace host::http {

struct server_options {
  std::string host = "127.0.0.1";
  unsigned short port = 8000;  // 0: any free port (see server::port())
  // A socket already listening (inherited from a supervisor); host and port are then unused.
  std::optional<int> listen_fd{};
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};     // between requests on a connection
  std::chrono::milliseconds request_timeout{std::chrono::seconds(30)};  // to receive one whole request
  std::chrono::milliseconds write_timeout{std::chrono::seconds(30)};    // to send one response
  std::chrono::milliseconds shutdown_grace{std::chrono::seconds(10)};   // in-flight requests may finish
  // After the grace period the remaining requests are cancelled; this long later the server
  // reports itself stopped whether or not they have unwound.
  std::chrono::milliseconds cancel_grace{std::chrono::seconds(1)};
  // After refusing a request without reading its body, the connection is kept this long (and
  // for at most this many bytes) to take what the client still sends, so that the answer is
  // not lost to a reset.
  std::chrono::milliseconds linger_time{std::chrono::seconds(1)};
  std::size_t linger_bytes = 1024 * 1024;
  std::size_t header_limit = 16 * 1024;
  std::size_t body_limit = 16 * 1024 * 1024;  // for routes that declare a request body
  std::size_t small_body_limit = 64 * 1024;   // for every other request
  // Connections beyond this are closed as soon as they are accepted, so that a flood of idle
  // clients costs a bounded amount of memory.
  std::size_t max_connections = 10'000;
};

// Binds and listens on host:port and returns the socket's descriptor, for processes that
// share one listening socket. Throws std::system_error when the address cannot be bound.
int open_listener(const std::string& host, unsigned short port);

// The port a listening socket is bound to.
unsigned short local_port(int listen_fd);

class server {
 public:
  server(boost::asio::io_context& io, const app& application, server_options options);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Binds and listens (throws when the address cannot be bound), or takes the inherited
  // listening socket, then accepts in the background.
  void start();
  unsigned short port() const { return bound_port_; }

  // Stops accepting and closes idle connections; requests in flight may finish within the
  // grace period, then they are cancelled. `on_stopped` is called once, when every connection
  // has ended or shortly after the cancellation, whichever is first.
  void shutdown(std::function<void()> on_stopped);

  std::size_t open_connections() const { return connections_.size(); }
  // Shutting down: no longer accepting, finishing the requests in flight.
  bool draining() const { return draining_; }

 private:
  struct connection;
  using connection_list = std::list<connection>;
  boost::asio::awaitable<void> accept_loop();
  boost::asio::awaitable<void> serve(connection& conn);
  // How a streamed body ended: its producer returned, the server drains (both end with the
  // last chunk), or the connection cannot go on.
  enum class stream_end { finished, drained, lost };
  boost::asio::awaitable<stream_end> stream_body(connection& conn, boost::beast::flat_buffer& buffer,
                                                 const body_producer& produce, bool chunked);
  boost::asio::awaitable<void> watch_peer(connection& conn, boost::beast::flat_buffer& buffer);
  boost::asio::awaitable<void> linger(connection& conn, boost::beast::flat_buffer& buffer);
  void connection_closed(connection_list::iterator it);
  void cancel_all(bool busy_too);
  void finish_shutdown();
  // Every connection carries a deadline for its read or write in progress; one timer per server
  // cancels those overdue.
  void sweep();
  std::chrono::milliseconds sweep_period() const;

  boost::asio::io_context& io_;
  const app& app_;
  server_options options_;
  boost::asio::ip::tcp::acceptor acceptor_;
  unsigned short bound_port_ = 0;
  connection_list connections_;
  bool draining_ = false;
  std::function<void()> on_stopped_;
  boost::asio::steady_timer grace_timer_;
  boost::asio::steady_timer sweep_timer_;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point last_refusal_log_{};
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace host::http
