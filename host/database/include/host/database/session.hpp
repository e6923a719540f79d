#pragma once
// The database session handed to a request: a transaction on a pooled connection.
// It takes a connection from the pool only with its first statement, opens the transaction
// with that statement, and hands the connection back on close().

#include <clients/pg/result.hpp>
#include <clients/pg/value.hpp>

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

namespace clients::pg {
class connection;
}

namespace host::database {

class pool;
namespace detail {
class pool_state;
}

// One request's session. Use it from one coroutine at a time; do not move it while one of
// its operations is running. Errors: clients::pg::error and its subclasses, and
// clients::pg::timeout_error for a statement past its time-out.
class session {
 public:
  explicit session(pool& p);
  session(session&&) noexcept;
  session& operator=(session&&) noexcept;
  // A connection still held is handed back; with a transaction open it is discarded (the
  // server then rolls the transaction back).
  ~session();

  // Runs `sql` with named parameters (`:name`), inside the session's transaction (opened by
  // the first statement). With `timeout` (which covers waiting for a pooled connection too),
  // a statement still running then is cancelled on the server and timeout_error is raised.
  // After the transaction was lost with its connection, raises transaction_error until
  // rollback() or close().
  boost::asio::awaitable<clients::pg::result> execute(std::string_view sql);
  boost::asio::awaitable<clients::pg::result> execute(std::string_view sql, const clients::pg::params& p);
  boost::asio::awaitable<clients::pg::result> execute(std::string_view sql, const clients::pg::params& p,
                                                      std::chrono::milliseconds timeout);
  // The same, then COMMIT in the same round trip when the statement succeeded: the
  // transaction ends here and a later commit() has nothing to do. If the statement fails,
  // nothing is committed and the transaction stays open (aborted) for rollback().
  boost::asio::awaitable<clients::pg::result> execute_and_commit(std::string_view sql, const clients::pg::params& p,
                                                                 std::chrono::milliseconds timeout);

  // No-op without an open transaction. A transaction aborted by an earlier error is rolled
  // back and reported as transaction_error (SQLSTATE 25P02) instead of a silent non-commit;
  // a transaction lost with its connection raises transaction_error too.
  boost::asio::awaitable<void> commit();
  // No-op without an open transaction.
  boost::asio::awaitable<void> rollback();
  // Rolls back an open transaction and hands the connection back (a connection in an
  // unknown state is discarded). Idempotent; never throws for the connection's sake.
  boost::asio::awaitable<void> close();

  bool in_transaction() const { return in_tx_; }
  // The server process of the connection held, or none when none is held.
  std::optional<int> backend_pid() const;

 private:
  boost::asio::awaitable<clients::pg::result> run(std::string_view sql, const clients::pg::params& p,
                                                  std::optional<std::chrono::milliseconds> timeout, bool commit_after);
  boost::asio::awaitable<void> transaction_command(const char* sql);
  void release() noexcept;
  void after_failure() noexcept;

  std::shared_ptr<detail::pool_state> pool_;
  std::unique_ptr<clients::pg::connection> conn_;
  bool in_tx_ = false;
  bool tx_lost_ = false;
};

}  // namespace host::database
