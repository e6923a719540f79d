#pragma once
// One asynchronous PostgreSQL connection: libpq's non-blocking API driven by the Asio event
// loop it is created on. Nothing here blocks that loop; the one blocking libpq call (the
// server-side cancel) runs on the `blocking` executor given at construction.
//
// Not thread-safe: use a connection from one coroutine at a time, on its own executor.

#include <clients/pg/named_params.hpp>
#include <clients/pg/result.hpp>
#include <clients/pg/value.hpp>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;

namespace clients::pg {

struct execute_options {
  // Past this the statement is cancelled on the server and timeout_error is raised.
  std::optional<std::chrono::milliseconds> timeout;
  // A statement without parameters sent ahead of the main one in the same round trip
  // (e.g. "BEGIN"). If it fails, its error is raised and the main statement does not run.
  std::string_view prelude;
  // A statement without parameters sent after the main one in the same round trip
  // (e.g. "COMMIT"). It runs only if the main statement succeeded; its error is raised.
  std::string_view postlude{};
};

enum class transaction_state { idle, active, failed, unknown };

// A NOTIFY received on a connection that LISTENs.
struct notification {
  std::string channel;
  std::string payload;
  int sender_pid = 0;
};

class connection {
 public:
  // `io`: the event loop's executor. `blocking`: where blocking libpq calls may run (a small
  // thread pool). `cache`: shared translations of named parameters (one is made if absent).
  connection(boost::asio::any_io_executor io, boost::asio::any_io_executor blocking,
             std::shared_ptr<named_param_cache> cache = {});
  // Closes the connection; a statement still running is cancelled on the server first.
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // `conninfo`: a postgresql:// URI or key=value string. Throws connection_error, also when
  // `timeout` passes first.
  boost::asio::awaitable<void> connect(std::string conninfo, std::chrono::milliseconds timeout);

  // Runs one statement with named parameters; results come in binary format.
  // Throws statement_error / connection_error / transaction_error (all clients::pg::error)
  // or timeout_error. After a time-out the connection is either drained and usable again, or
  // marked unusable; it is never left half-read.
  boost::asio::awaitable<result> execute(std::string_view sql, const params& p, execute_options opts = {});
  boost::asio::awaitable<result> execute(std::string_view sql);

  // Statements with parameters are then prepared on the server the first time this connection
  // runs them, and run by name afterwards (parsed and planned once, not on every call), for up
  // to `at_most` distinct statements; 0 (the default) sends every statement unnamed. Leave it
  // at 0 behind a pooler that hands each transaction a different server connection.
  void prepare_statements(std::size_t at_most);

  // Notifications already received (during statements or waits), without waiting.
  std::vector<notification> take_notifications();
  // Waits, while no statement runs, until at least one notification has arrived or `timeout`
  // has passed (then the result is empty). Throws connection_error when the connection is lost.
  boost::asio::awaitable<std::vector<notification>> wait_notifications(std::chrono::milliseconds timeout);

  // Connected, nothing in flight, not marked broken.
  bool usable() const;
  // Polls the socket without blocking: false when the server has closed the connection
  // (e.g. its backend was terminated). Marks the connection unusable then.
  bool check_alive();
  // Stops reusing this connection (it stays open until destroyed or closed).
  void mark_broken();
  transaction_state transaction() const;
  int backend_pid() const;
  pg_conn* native_handle() const;

  // Closes now, without waiting; cancels a running statement on the server first.
  void close() noexcept;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace clients::pg
