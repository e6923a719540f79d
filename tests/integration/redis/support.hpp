#pragma once

#include <sys/types.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "clients/redis/client.hpp"

namespace redis_test {

namespace asio = boost::asio;
namespace redis = clients::redis;
using namespace std::chrono_literals;

/// The shared test server (REDIS_HOST / REDIS_PORT, defaults 127.0.0.1:56379).
redis::options shared_server();

/// A key prefix no other test process uses.
std::string unique_prefix();

/// A TCP port nothing listens on right now.
int free_port();

/// Drives `ioc` until the future is ready (the client's own loops keep it busy forever).
template <class T>
T wait_for(asio::io_context& ioc, std::future<T>& f, std::chrono::seconds limit = 30s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  ioc.restart();
  while (f.wait_for(0s) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > until) throw std::runtime_error("test coroutine hung");
    ioc.run_one_for(100ms);
  }
  return f.get();
}

template <class T>
std::future<T> spawn(asio::io_context& ioc, asio::awaitable<T> work) {
  return asio::co_spawn(ioc, std::move(work), asio::use_future);
}

template <class T>
T run(asio::io_context& ioc, asio::awaitable<T> work) {
  auto f = spawn(ioc, std::move(work));
  return wait_for(ioc, f);
}

/// A throw-away redis-server child on a free port, for the tests that pause or kill it.
class redis_child {
 public:
  redis_child();
  ~redis_child();
  redis_child(const redis_child&) = delete;
  redis_child& operator=(const redis_child&) = delete;

  int port() const { return port_; }
  redis::options options() const;
  void pause();
  void resume();
  void kill();
  void start();

 private:
  int port_;
  pid_t pid_ = -1;
};

}  // namespace redis_test
