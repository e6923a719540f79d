#include <host/database/session.hpp>

#include "pool_state.hpp"

#include <clients/pg/connection.hpp>
#include <clients/pg/errors.hpp>

namespace host::database {
namespace asio = boost::asio;
namespace pg = clients::pg;

namespace {
const pg::params no_params;
}

session::session(pool& p) : pool_(p.state()) {}
session::session(session&&) noexcept = default;

session& session::operator=(session&& other) noexcept {
  if (this != &other) {
    if (conn_ && in_tx_) conn_->mark_broken();
    release();
    pool_ = std::move(other.pool_);
    conn_ = std::move(other.conn_);
    in_tx_ = std::exchange(other.in_tx_, false);
    tx_lost_ = std::exchange(other.tx_lost_, false);
  }
  return *this;
}

session::~session() {
  // No way to roll back without waiting here: drop the connection and let the server end
  // the transaction when it goes.
  if (conn_ && in_tx_) conn_->mark_broken();
  release();
}

asio::awaitable<pg::result> session::execute(std::string_view sql) {
  co_return co_await run(sql, no_params, std::nullopt, false);
}

asio::awaitable<pg::result> session::execute(std::string_view sql, const pg::params& p) {
  co_return co_await run(sql, p, std::nullopt, false);
}

asio::awaitable<pg::result> session::execute(std::string_view sql, const pg::params& p,
                                             std::chrono::milliseconds timeout) {
  co_return co_await run(sql, p, timeout, false);
}

asio::awaitable<pg::result> session::execute_and_commit(std::string_view sql, const pg::params& p,
                                                        std::chrono::milliseconds timeout) {
  co_return co_await run(sql, p, timeout, true);
}

asio::awaitable<pg::result> session::run(std::string_view sql, const pg::params& p,
                                         std::optional<std::chrono::milliseconds> timeout, bool commit_after) {
  // Like the transaction it replaces, work after a lost transaction would commit on its own.
  if (tx_lost_)
    throw pg::transaction_error("the transaction was lost with its connection; roll back before going on");
  // The time-out bounds the whole call: waiting for a connection included.
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout) deadline = start + *timeout;
  if (!conn_) conn_ = co_await pool_->acquire(deadline);
  pg::execute_options opts{timeout, {}};
  if (deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) throw pg::timeout_error();
    opts.timeout = left;
  }
  if (!in_tx_) {
    if (pool_->options().pipeline_begin) opts.prelude = "BEGIN";
    else co_await transaction_command("BEGIN");
  }
  // COMMIT rides in the same round trip and runs only if the statement succeeded.
  if (commit_after) opts.postlude = "COMMIT";
  try {
    auto res = co_await conn_->execute(sql, p, opts);
    in_tx_ = !commit_after || conn_->transaction() != pg::transaction_state::idle;
    co_return res;
  } catch (...) {
    after_failure();
    throw;
  }
}

asio::awaitable<void> session::commit() {
  if (tx_lost_) throw pg::transaction_error("the transaction was lost with its connection; nothing was committed");
  if (!in_tx_) co_return;
  // The server answers COMMIT of an aborted transaction with a rollback, not an error:
  // report it, or the caller would believe its work was saved.
  if (conn_->usable() && conn_->transaction() == pg::transaction_state::failed) {
    co_await rollback();
    throw pg::transaction_error(
        "the transaction was aborted by an earlier error and has been rolled back; nothing was committed", "25P02");
  }
  co_await transaction_command("COMMIT");
}

asio::awaitable<void> session::rollback() {
  tx_lost_ = false;
  if (!in_tx_) co_return;
  if (!conn_->usable()) {
    in_tx_ = false;
    release();  // discarded: the server rolls back when the connection goes
    co_return;
  }
  co_await transaction_command("ROLLBACK");
}

asio::awaitable<void> session::close() {
  tx_lost_ = false;
  if (!conn_) co_return;
  if (in_tx_ && conn_->usable()) {
    try {
      co_await conn_->execute("ROLLBACK");
    } catch (...) {
      // Includes the request being cancelled: the connection then goes, never back to the pool.
      conn_->mark_broken();
    }
  }
  in_tx_ = false;
  release();
}

std::optional<int> session::backend_pid() const {
  if (!conn_) return std::nullopt;
  return conn_->backend_pid();
}

asio::awaitable<void> session::transaction_command(const char* sql) {
  try {
    co_await conn_->execute(sql);
  } catch (const pg::connection_error&) {
    after_failure();
    throw;
  } catch (const pg::error& e) {
    after_failure();
    throw pg::transaction_error(e.what(), e.sqlstate());
  } catch (...) {
    after_failure();
    throw;
  }
  in_tx_ = conn_->transaction() != pg::transaction_state::idle;
}

void session::after_failure() noexcept {
  if (!conn_) return;
  if (conn_->usable()) {
    // BEGIN may have gone through although the statement after it failed.
    in_tx_ = conn_->transaction() != pg::transaction_state::idle;
    return;
  }
  // Work done earlier in this transaction went with the connection.
  tx_lost_ = in_tx_;
  in_tx_ = false;
  release();
}

void session::release() noexcept {
  if (conn_) pool_->release(std::move(conn_));
  conn_.reset();
}

}  // namespace host::database
