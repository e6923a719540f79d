#pragma once
// The pool's shared state. Sessions hold it too, so a session that outlives the pool object
// still has somewhere to hand its connection back.

#include <host/database/pool.hpp>

#include <clients/pg/connection.hpp>
#include <clients/pg/named_params.hpp>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <list>
#include <optional>
#include <unordered_set>
#include <memory>
#include <vector>

namespace host::database::detail {

class pool_state : public std::enable_shared_from_this<pool_state> {
 public:
  pool_state(boost::asio::any_io_executor ex, pool_options options);
  ~pool_state();

  // A usable connection, idle or newly opened; waits when the pool is exhausted.
  // Throws pool_error (acquire time-out, pool closed), connection_error (cannot connect), or
  // timeout_error when the wait reaches `deadline` (the caller's statement time-out) first.
  boost::asio::awaitable<std::unique_ptr<clients::pg::connection>> acquire(
      std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
  // Takes a connection back: reused when clean and idle, otherwise closed.
  void release(std::unique_ptr<clients::pg::connection> conn) noexcept;
  // Closes idle connections and fails the waiting requests.
  void shutdown() noexcept;

  const pool_options& options() const { return options_; }
  pool_stats stats() const;

 private:
  // A waiting request. `granted` with a connection: that connection is now its own;
  // granted without one: it may open a new connection in the slot someone freed.
  struct waiter {
    boost::asio::steady_timer timer;
    bool granted = false;
    std::unique_ptr<clients::pg::connection> conn;
  };

  boost::asio::awaitable<std::unique_ptr<clients::pg::connection>> open_in_slot();
  bool falling_back() const;
  // Forgets a connection that is being closed, handing back its slot.
  void drop(std::unique_ptr<clients::pg::connection> conn) noexcept;
  void slot_freed() noexcept;
  void grant(std::unique_ptr<clients::pg::connection> conn) noexcept;

  boost::asio::any_io_executor ex_;
  pool_options options_;
  // PQcancel blocks; it runs here, away from the event loop.
  boost::asio::thread_pool blocking_{1};
  std::shared_ptr<clients::pg::named_param_cache> cache_ = std::make_shared<clients::pg::named_param_cache>();
  std::vector<std::unique_ptr<clients::pg::connection>> idle_;
  std::list<waiter*> waiters_;
  std::size_t open_ = 0;
  bool closed_ = false;
  // Connections opened to fallback_conninfo, and until when new ones go there too.
  std::unordered_set<const clients::pg::connection*> on_fallback_;
  std::chrono::steady_clock::time_point fallback_until_{};
  std::uint64_t waits_ = 0;
  std::chrono::nanoseconds waited_{0};
};

}  // namespace host::database::detail
