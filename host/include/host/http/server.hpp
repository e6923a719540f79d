#pragma once
// HTTP/1.1 server: one io_context on one thread, a coroutine per connection, keep-alive,
// requests answered in order (pipelining-safe), size limits, time-outs, graceful shutdown.

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "host/http/app.hpp"

namespace host::http {

struct server_options {
  std::string host = "127.0.0.1";
  unsigned short port = 8000;  // 0: any free port (see server::port())
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};     // between requests on a connection
  std::chrono::milliseconds request_timeout{std::chrono::seconds(30)};  // to receive one whole request
  std::chrono::milliseconds write_timeout{std::chrono::seconds(30)};    // to send one response
  std::chrono::milliseconds shutdown_grace{std::chrono::seconds(10)};   // in-flight requests may finish
  std::size_t header_limit = 16 * 1024;
  std::size_t body_limit = 16 * 1024 * 1024;  // for routes that declare a request body
  std::size_t small_body_limit = 64 * 1024;   // for every other request
  // Connections beyond this are closed as soon as they are accepted, so that a flood of idle
  // clients costs a bounded amount of memory.
  std::size_t max_connections = 10'000;
};

class server {
 public:
  server(boost::asio::io_context& io, const app& application, server_options options);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Binds and listens (throws when the address cannot be bound), then accepts in the background.
  void start();
  unsigned short port() const { return bound_port_; }

  // Stops accepting, closes idle connections, lets requests in flight finish up to the grace
  // period, then closes what is left and calls `on_stopped` once.
  void shutdown(std::function<void()> on_stopped);

  std::size_t open_connections() const { return connections_.size(); }

 private:
  struct connection;
  boost::asio::awaitable<void> accept_loop();
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);
  void connection_closed(std::list<connection*>::iterator it);
  void finish_shutdown();

  boost::asio::io_context& io_;
  const app& app_;
  server_options options_;
  boost::asio::ip::tcp::acceptor acceptor_;
  unsigned short bound_port_ = 0;
  std::list<connection*> connections_;
  bool draining_ = false;
  std::function<void()> on_stopped_;
  std::unique_ptr<boost::asio::steady_timer> grace_timer_;
  std::chrono::steady_clock::time_point last_refusal_log_{};
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace host::http
