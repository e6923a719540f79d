#pragma once
// The host's pool of PostgreSQL connections. Connections are opened on first need, reused,
// and replaced when broken. When all are in use a request waits (bounded) for one.

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace host::database {

struct pool_options {
  // A postgresql:// URI (or key=value string) as libpq accepts it.
  std::string conninfo;
  // Where to connect when `conninfo` cannot be reached (a replica gone: the primary). For a
  // while after such a failure new connections go straight there, and connections opened
  // there are closed when handed back after that while, so the pool returns to `conninfo`.
  // Empty: none.
  std::string fallback_conninfo;
  std::chrono::milliseconds fallback_for{5'000};
  std::size_t size = 10;
  std::chrono::milliseconds connect_timeout{10'000};
  // How long a request waits for a free connection before pool_error.
  std::chrono::milliseconds acquire_timeout{30'000};
  // Send a session's BEGIN in the same round trip as its first statement.
  bool pipeline_begin = true;
  // Prepare statements with parameters once per connection (see connection::prepare_statements),
  // up to this many per connection; 0: send them unnamed every time.
  std::size_t prepared_statements = 64;
};

namespace detail {
class pool_state;
}

struct pool_stats {
  std::size_t open = 0;     // connections open or being opened (idle ones included)
  std::size_t idle = 0;     // open and free
  std::size_t waiting = 0;  // requests waiting for a connection
  std::uint64_t waits = 0;  // requests that had to wait, since the pool was made
  std::chrono::nanoseconds waited{0};  // their waiting time together (waits that ended)
};

class pool {
 public:
  // Opens nothing yet. Every session of this pool must run on `ex`'s event loop.
  pool(boost::asio::any_io_executor ex, pool_options options);
  // Closes the idle connections; requests still waiting fail with pool_error. Sessions that
  // are still open keep what they need alive and discard their connection when done.
  ~pool();
  pool(const pool&) = delete;
  pool& operator=(const pool&) = delete;

  const pool_options& options() const;
  pool_stats stats() const;

  // For the sessions of this pool.
  const std::shared_ptr<detail::pool_state>& state() const { return state_; }

 private:
  std::shared_ptr<detail::pool_state> state_;
};

}  // namespace host::database
