#pragma once
// Errors of the PostgreSQL access layer. Every failure that comes from the database, the
// connection or the pool is a clients::pg::error, so callers can tell them apart from
// everything else with one catch clause. A statement time-out is deliberately outside the
// family: callers answer it differently (e.g. 408 instead of 500).

#include <stdexcept>
#include <string>
#include <utility>

namespace clients::pg {

// Base of the family. what() is the server's message (or ours when the server sent none);
// sqlstate() is the server's five-character SQLSTATE, empty when there is none.
class error : public std::runtime_error {
 public:
  explicit error(const std::string& message, std::string sqlstate = {})
      : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
  const std::string& sqlstate() const noexcept { return sqlstate_; }

 private:
  std::string sqlstate_;
};

// The connection could not be opened, was lost, or was closed by the server.
class connection_error : public error {
 public:
  using error::error;
};

// The server rejected or failed a statement (syntax, constraint, cancelled, ...), or the
// statement could not be sent as written (e.g. a bind parameter without a value).
class statement_error : public error {
 public:
  using error::error;
};

// BEGIN/COMMIT/ROLLBACK failed, or a commit could not commit (aborted transaction).
class transaction_error : public error {
 public:
  using error::error;
};

// A result was read in a way it cannot satisfy: NULL read as a value, wrong type,
// several rows where at most one was expected.
class result_error : public error {
 public:
  using error::error;
};

// No pooled connection became free within the acquire time-out.
class pool_error : public error {
 public:
  using error::error;
};

// A statement ran past its time-out and was cancelled on the server.
class timeout_error : public std::runtime_error {
 public:
  timeout_error() : std::runtime_error("statement timed out") {}
  explicit timeout_error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace clients::pg
