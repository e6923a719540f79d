#include "server_error.hpp"

#include <clients/pg/errors.hpp>

namespace clients::pg::detail {

bool is_connection_sqlstate(const std::string& s) {
  return s.starts_with("08") || s == "57P01" || s == "57P02" || s == "57P03";
}

std::string first_line(const char* message) {
  std::string m = message ? message : "";
  // libpq prefixes its own messages with the severity, e.g. "FATAL:  ".
  for (const char* prefix : {"ERROR:  ", "FATAL:  ", "PANIC:  "})
    if (m.starts_with(prefix)) m.erase(0, std::char_traits<char>::length(prefix));
  if (auto nl = m.find('\n'); nl != std::string::npos) m.resize(nl);
  return m;
}

void throw_server_error(const PGresult* res, bool connection_bad, error_context context) {
  const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
  std::string sqlstate = state ? state : "";
  std::string message = primary ? std::string(primary) : first_line(PQresultErrorMessage(res));
  if (message.empty()) message = "statement failed";
  if (connection_bad || is_connection_sqlstate(sqlstate)) throw connection_error(message, sqlstate);
  if (context == error_context::transaction || sqlstate.starts_with("25") || sqlstate.starts_with("2D") ||
      sqlstate.starts_with("40"))
    throw transaction_error(message, sqlstate);
  throw statement_error(message, sqlstate);
}

}  // namespace clients::pg::detail
