#include "install_change_feed.hpp"

#include <libpq-fe.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"

namespace mapsvc {
namespace {

using connection_ptr = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using result_ptr = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The server's message without libpq's trailing newline.
std::string message_of(PGconn* conn, const PGresult* result) {
  std::string text = result ? PQresultErrorMessage(result) : "";
  if (text.empty()) text = PQerrorMessage(conn);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

result_ptr run(PGconn* conn, const std::string& sql) {
  result_ptr result(PQexec(conn, sql.c_str()), &PQclear);
  const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(message_of(conn, result.get()));
  return result;
}

bool table_exists(PGconn* conn, const std::string& table) {
  const char* values[] = {table.c_str()};
  result_ptr result(PQexecParams(conn, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr, values, nullptr, nullptr, 0),
                    &PQclear);
  if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) throw std::runtime_error(message_of(conn, result.get()));
  return std::string(PQgetvalue(result.get(), 0, 0)) == "t";
}

// Everything in one transaction, so that a failure leaves the database as it was. The lines
// are returned rather than printed: they are only true once the commit succeeded.
std::vector<std::string> install(PGconn* conn) {
  std::vector<std::string> lines;
  run(conn, "BEGIN");
  // "already exists, skipping" notices on every run after the first say nothing useful.
  run(conn, "SET LOCAL client_min_messages = warning");
  // Creating a trigger waits for the table's writers and holds back the writers after it:
  // give up rather than stall edits behind a long transaction.
  run(conn, "SET LOCAL lock_timeout = '10s'");
  run(conn, std::string(tile_gateway::change_feed_schema_sql()));
  lines.push_back("change feed: schema mapsvc_feed ready");
  std::size_t watched = 0, skipped = 0;
  for (const auto& [key, record] : tile_gateway::LAYER_CONFIG()) {
    if (!table_exists(conn, record.table)) {
      lines.push_back(fmt::format("change feed: {} does not exist, skipped (layer {})", record.table, key));
      ++skipped;
      continue;
    }
    run(conn, tile_gateway::watch_table_sql(record));
    lines.push_back(fmt::format("change feed: watching {} ({}) for layer {}", record.table, record.geom_col, key));
    ++watched;
  }
  // A COMMIT of a transaction the server already aborted answers ROLLBACK, not an error.
  const auto commit = run(conn, "COMMIT");
  if (std::string(PQcmdStatus(commit.get())) != "COMMIT") throw std::runtime_error("the transaction was rolled back");
  lines.push_back(fmt::format("change feed: installed; {} of {} layer tables watched{}", watched, watched + skipped,
                              skipped ? fmt::format(", {} missing", skipped) : std::string()));
  return lines;
}

}  // namespace

int install_change_feed(const std::string& conninfo) {
  // The URI's own settings come last so that they win over these defaults.
  const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {"10", "mapsvc-install-change-feed", conninfo.c_str(), nullptr};
  const connection_ptr conn(PQconnectdbParams(keys, values, 1), &PQfinish);
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    std::fprintf(stderr, "mapsvc: change feed not installed: cannot connect to the database: %s\n",
                 message_of(conn.get(), nullptr).c_str());
    return 1;
  }
  try {
    for (const auto& line : install(conn.get())) std::printf("%s\n", line.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc: change feed not installed: %s\n", e.what());
    return 1;
  }
}

}  // namespace mapsvc
