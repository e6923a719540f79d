#pragma once
// Turns a failed PGresult into the matching exception of the clients::pg::error family.

#include <libpq-fe.h>

#include <string>

namespace clients::pg::detail {

enum class error_context { statement, transaction };

// SQLSTATE class 08 and the shutdown codes 57P01..57P03 (or a dead connection) raise
// connection_error; otherwise `context` decides between statement_error and transaction_error
// (class 25, 2D, 40 are always transaction_error).
[[noreturn]] void throw_server_error(const PGresult* res, bool connection_bad, error_context context);

bool is_connection_sqlstate(const std::string& sqlstate);

// libpq's messages end in a newline and may span lines; keep the first line.
std::string first_line(const char* message);

}  // namespace clients::pg::detail
