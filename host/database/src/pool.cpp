#include <host/database/pool.hpp>

#include "pool_state.hpp"

#include <clients/pg/errors.hpp>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <stdexcept>

namespace host::database {
namespace asio = boost::asio;
using clients::pg::connection;

pool::pool(asio::any_io_executor ex, pool_options options)
    : state_(std::make_shared<detail::pool_state>(std::move(ex), std::move(options))) {}
pool::~pool() { state_->shutdown(); }
const pool_options& pool::options() const { return state_->options(); }
pool_stats pool::stats() const { return state_->stats(); }

namespace detail {

pool_state::pool_state(asio::any_io_executor ex, pool_options options)
    : ex_(std::move(ex)), options_(std::move(options)) {
  if (options_.size == 0) throw std::invalid_argument("pool size must be at least 1");
}

pool_state::~pool_state() {
  shutdown();
  idle_.clear();
  blocking_.join();
}

pool_stats pool_state::stats() const { return {open_, idle_.size(), waiters_.size(), waits_, waited_}; }

void pool_state::shutdown() noexcept {
  closed_ = true;
  open_ -= idle_.size();
  idle_.clear();
  for (waiter* w : waiters_) w->timer.cancel();
}

asio::awaitable<std::unique_ptr<connection>> pool_state::acquire(
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  auto self = shared_from_this();
  if (closed_) throw clients::pg::pool_error("the connection pool is closed");
  // Most recently used first: its server process is warm. A connection whose server went
  // away while it sat idle (restart, terminated backend) is dropped here, not handed out.
  while (!idle_.empty()) {
    auto c = std::move(idle_.back());
    idle_.pop_back();
    if (c->check_alive()) co_return c;
    on_fallback_.erase(c.get());
    --open_;
  }
  if (open_ < options_.size) {
    ++open_;
    co_return co_await open_in_slot();
  }

  const auto give_up = std::chrono::steady_clock::now() + options_.acquire_timeout;
  const bool statement_first = deadline && *deadline < give_up;
  waiter w{asio::steady_timer(ex_, statement_first ? *deadline : give_up), false, nullptr};
  waiters_.push_back(&w);
  // Whatever ends the wait (time-out, cancellation, the coroutine being destroyed), a grant
  // not taken goes back to the pool.
  struct leave_queue {
    pool_state& p;
    waiter& w;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    bool taken = false;
    ~leave_queue() {
      ++p.waits_;
      p.waited_ += std::chrono::steady_clock::now() - since;
      p.waiters_.remove(&w);
      if (!w.granted || taken) return;
      if (w.conn) p.release(std::move(w.conn));
      else p.slot_freed();
    }
  } guard{*this, w};

  auto [ec] = co_await w.timer.async_wait(asio::as_tuple(asio::use_awaitable));
  if (w.granted) {
    guard.taken = true;
    if (w.conn && w.conn->check_alive()) co_return std::move(w.conn);
    on_fallback_.erase(w.conn.get());
    w.conn.reset();
    co_return co_await open_in_slot();
  }
  if (closed_) throw clients::pg::pool_error("the connection pool is closed");
  if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
  if (statement_first) throw clients::pg::timeout_error();
  throw clients::pg::pool_error("no database connection became free within " +
                                std::to_string(options_.acquire_timeout.count()) + " ms (pool size " +
                                std::to_string(options_.size) + ")");
}

// The caller has counted the new connection in open_; failing to open it frees the slot.
asio::awaitable<std::unique_ptr<connection>> pool_state::open_in_slot() {
  struct slot {
    pool_state& p;
    bool kept = false;
    ~slot() {
      if (!kept) p.slot_freed();
    }
  } guard{*this};
  auto c = std::make_unique<connection>(ex_, blocking_.get_executor(), cache_);
  bool fall_back = falling_back();
  if (!fall_back) {
    try {
      co_await c->connect(options_.conninfo, options_.connect_timeout);
    } catch (const clients::pg::connection_error&) {
      if (options_.fallback_conninfo.empty()) throw;
      fall_back = true;
      fallback_until_ = std::chrono::steady_clock::now() + options_.fallback_for;
    }
  }
  if (fall_back) {
    c = std::make_unique<connection>(ex_, blocking_.get_executor(), cache_);
    co_await c->connect(options_.fallback_conninfo, options_.connect_timeout);
    on_fallback_.insert(c.get());
  }
  c->prepare_statements(options_.prepared_statements);
  guard.kept = true;
  co_return c;
}

bool pool_state::falling_back() const {
  return !options_.fallback_conninfo.empty() && std::chrono::steady_clock::now() < fallback_until_;
}

void pool_state::drop(std::unique_ptr<connection> conn) noexcept {
  on_fallback_.erase(conn.get());
  conn.reset();  // closes; a statement still running is cancelled on the server
  slot_freed();
}

void pool_state::slot_freed() noexcept {
  if (!closed_ && !waiters_.empty()) return grant(nullptr);
  --open_;
}

void pool_state::grant(std::unique_ptr<connection> conn) noexcept {
  waiter* w = waiters_.front();
  waiters_.pop_front();
  w->granted = true;
  w->conn = std::move(conn);
  w->timer.cancel();
}

void pool_state::release(std::unique_ptr<connection> conn) noexcept {
  if (!conn) return;
  const bool clean = conn->usable() && conn->transaction() == clients::pg::transaction_state::idle;
  // A connection to the fallback is given up once the first server may be back.
  const bool stale_fallback = on_fallback_.contains(conn.get()) && !falling_back();
  if (!clean || closed_ || stale_fallback) return drop(std::move(conn));
  if (!waiters_.empty()) return grant(std::move(conn));
  idle_.push_back(std::move(conn));
}

}  // namespace detail
}  // namespace host::database
