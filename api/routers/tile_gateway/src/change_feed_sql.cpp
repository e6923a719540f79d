#include "mapsvc/tile_gateway/change_feed_sql.hpp"

#include <stdexcept>

#include <nlohmann/json.hpp>

namespace mapsvc::tile_gateway {
namespace detail {
extern const std::string_view CHANGE_FEED_SCHEMA_SQL;  // generated from sql/change_feed.sql
}

namespace {

// A string literal of `text` that reads the same whatever standard_conforming_strings says.
std::string sql_literal(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) throw std::invalid_argument("SQL text holds a NUL byte");
  const bool escapes = text.find('\\') != std::string_view::npos;
  std::string out = escapes ? "E'" : "'";
  for (const char ch : text) {
    if (ch == '\'' || (escapes && ch == '\\')) out += ch;
    out += ch;
  }
  out += '\'';
  return out;
}

}  // namespace

std::string_view change_feed_schema_sql() { return detail::CHANGE_FEED_SCHEMA_SQL; }

std::string identifier_name(std::string_view identifier) {
  if (identifier.empty() || identifier.find('\0') != std::string_view::npos)
    throw std::invalid_argument("not an SQL identifier: '" + std::string(identifier) + "'");
  std::string name;
  if (identifier.front() != '"') {
    if (identifier.find('"') != std::string_view::npos)
      throw std::invalid_argument("not an SQL identifier: '" + std::string(identifier) + "'");
    for (const char ch : identifier) name += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    return name;
  }
  if (identifier.size() < 3 || identifier.back() != '"')
    throw std::invalid_argument("not an SQL identifier: '" + std::string(identifier) + "'");
  const auto inner = identifier.substr(1, identifier.size() - 2);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '"') {
      if (i + 1 >= inner.size() || inner[i + 1] != '"')
        throw std::invalid_argument("not an SQL identifier: '" + std::string(identifier) + "'");
      ++i;
    }
    name += inner[i];
  }
  return name;
}

std::string watch_table_sql(const layer_record& layer) {
  return "SELECT mapsvc_feed.watch(" + sql_literal(layer.table) + "::regclass, " +
         sql_literal(identifier_name(layer.geom_col)) + ")";
}

std::string change_feed_tables(const layer_catalogue& layers) {
  auto tables = nlohmann::json::array();
  for (const auto& [key, record] : layers) tables.push_back(record.table);
  return tables.dump();
}

}  // namespace mapsvc::tile_gateway
