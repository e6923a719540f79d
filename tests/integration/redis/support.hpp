#pragma once
// Helpers for the Redis client tests: driving the event loop, addresses, and a throw-away
// server process the fault tests may pause or kill without disturbing the shared one.

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "clients/redis/client.hpp"
#include "clients/redis/invalidation_listener.hpp"

namespace redis_test {

namespace asio = boost::asio;
namespace redis = clients::redis;
using namespace std::chrono_literals;

inline redis::options local(int port) {
  redis::options o;
  o.host = "127.0.0.1";
  o.port = port;
  return o;
}

/// The shared test server (REDIS_HOST / REDIS_PORT, defaults 127.0.0.1:56379).
inline redis::options shared_server() {
  const char* host = std::getenv("REDIS_HOST");
  const char* port = std::getenv("REDIS_PORT");
  auto o = local(port && *port ? std::stoi(port) : 56379);
  if (host && *host) o.host = host;
  return o;
}

/// A key prefix no other test process uses.
inline std::string unique_prefix() {
  return "redis_client_test:" + std::to_string(::getpid()) + ":" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ":";
}

/// Binds port 0 and returns the port (free = nothing listening after close); with `connect`,
/// tells instead whether something accepts connections on `port`.
inline int probe_port(int port = 0, bool connect = false) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int result;
  if (connect) {
    result = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  } else {
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    result = ntohs(addr.sin_port);
  }
  ::close(fd);
  return result;
}
inline int free_port() { return probe_port(); }

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

/// Runs `ioc` in 50 ms steps until `condition` holds, at most `rounds` steps.
inline bool until(asio::io_context& ioc, const std::function<bool()>& condition, int rounds = 200) {
  for (int i = 0; i < rounds && !condition(); ++i) ioc.run_for(50ms);
  return condition();
}

/// What an invalidation listener reported.
struct reports {
  std::set<std::string> keys;
  int flushes = 0;
  std::vector<bool> tracking;  // every change of state, in order
  bool on() const { return !tracking.empty() && tracking.back(); }
};

/// A listener for the keys under `prefix` that writes what it hears into `into`.
inline redis::invalidation_listener listen(asio::io_context& ioc, const redis::options& where, const std::string& prefix,
                                           reports& into, std::chrono::milliseconds ping = 100ms) {
  return redis::invalidation_listener(
      ioc.get_executor(), where, {.prefix = prefix, .retry_delay = 50ms, .ping_interval = ping},
      {.on_keys = [&into](std::vector<std::string> keys) { into.keys.insert(keys.begin(), keys.end()); },
       .on_flush = [&into] { ++into.flushes; },
       .on_tracking = [&into](bool on) { into.tracking.push_back(on); }});
}

/// SET `key` again and again, 100 ms apart, until a server takes it (a failover is under way):
/// whether it did within 15 s.
inline bool write_once_accepted(asio::io_context& ioc, redis::client& c, const std::string& key, const std::string& value) {
  for (int i = 0; i < 150; ++i) {
    try {
      auto f = asio::co_spawn(ioc, c.set(key, value), asio::use_future);
      wait_for(ioc, f);
      return true;
    } catch (const redis::error&) {
      ioc.run_for(100ms);
    }
  }
  return false;
}

/// A throw-away redis-server child on a free port, with extra arguments if given (a cluster
/// node, a replica, a sentinel: "--sentinel" with a config file first).
class redis_child {
 public:
  explicit redis_child(std::vector<std::string> extra = {}) : extra_(std::move(extra)) { start(); }
  ~redis_child() { kill(); }
  redis_child(const redis_child&) = delete;
  redis_child& operator=(const redis_child&) = delete;

  redis::options options() const { return local(port_); }
  int port() const { return port_; }
  void pause() { ::kill(pid_, SIGSTOP); }
  void resume() { ::kill(pid_, SIGCONT); }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void start() {
    const std::string port = std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);  // keep the server's banner out of test output
      ::dup2(null, 1);
      ::dup2(null, 2);
      std::vector<std::string> args{"redis-server"};
      // A config file must come first; a sentinel takes no persistence options.
      if (!extra_.empty() && extra_[0].ends_with(".conf")) args.push_back(extra_[0]);
      for (const char* a : {"--port", port.c_str(), "--bind", "127.0.0.1", "--loglevel", "warning"}) args.push_back(a);
      if (std::find(extra_.begin(), extra_.end(), "--sentinel") == extra_.end())
        for (const char* a : {"--save", "", "--appendonly", "no"}) args.push_back(a);
      for (std::size_t i = 0; i < extra_.size(); ++i)
        if (i > 0 || !extra_[0].ends_with(".conf")) args.push_back(extra_[i]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp("redis-server", argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 500 && !probe_port(port_, true); ++i) std::this_thread::sleep_for(10ms);
    if (!probe_port(port_, true)) throw std::runtime_error("redis-server did not start on port " + port);
  }

 private:
  std::vector<std::string> extra_;
  int port_ = free_port();
  pid_t pid_ = -1;
};

}  // namespace redis_test
