// GET /gis/{layer_name}/tilejson.json, for one layer or a composite source ("plots,beacons").
#include <fmt/format.h>

#include "mapsvc/tile_gateway/endpoints.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "mapsvc/tile_gateway/tilejson.hpp"
#include "layer_names.hpp"
#include "query_failure.hpp"

namespace mapsvc::tile_gateway {
namespace {

// Column types change with a migration, not per request: read them at most this often.
constexpr auto FIELDS_KEEP = std::chrono::minutes(10);
constexpr std::chrono::milliseconds FIELDS_QUERY_TIMEOUT{5000};

constexpr std::string_view COLUMN_TYPES_SQL =
    "SELECT a.attname::text, t.typcategory::text\n"
    "FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid\n"
    "WHERE a.attrelid = to_regclass(:table) AND a.attnum > 0 AND NOT a.attisdropped";

boost::asio::awaitable<std::vector<std::pair<std::string, char>>> read_column_types(session& db,
                                                                                    const clients::pg::params& params,
                                                                                    std::chrono::milliseconds timeout) {
  const std::string sql(COLUMN_TYPES_SQL);
  const auto result = co_await db.execute(sql, params, timeout);
  std::vector<std::pair<std::string, char>> out;
  for (std::size_t i = 0; i < result.size(); ++i) {
    const auto row = result[i];
    const auto category = row.bytes(1);
    out.emplace_back(std::string(row.bytes(0)), category.empty() ? 'X' : category.front());
  }
  co_return out;
}

boost::asio::awaitable<nlohmann::ordered_json> fields_of(tile_gateway_module& m, const std::string& layer_name,
                                                         const layer_record& layer, session& db) {
  const auto now = std::chrono::steady_clock::now();
  if (const auto it = m.layer_fields.find(layer_name); it != m.layer_fields.end() && now - it->second.read_at < FIELDS_KEEP)
    co_return it->second.fields;
  const clients::pg::params params{{"table", layer.table}};
  const auto timeout = m.query_timeout(FIELDS_QUERY_TIMEOUT);
  const auto types = co_await query_or_answer_failure(
      m, db, [&](session& s) { return read_column_types(s, params, timeout); },
      [&] {
        return query_failure_texts{.timeout_log = fmt::format("Timeout reading the columns of {}", layer_name),
                                   .timeout_answer = "Query timeout",
                                   .error_log = fmt::format("Error reading the columns of {}", layer_name),
                                   .error_answer = "Database error"};
      });
  auto fields = layer_fields(layer, types);
  m.layer_fields[layer_name] = {fields, now};
  co_return fields;
}

std::optional<mercator_extent> extent_of(const nlohmann::ordered_json& centroid) {
  const auto it = centroid.find("extent_web_mercator");
  if (it == centroid.end() || !it->is_object()) return std::nullopt;
  try {
    return mercator_extent{it->at("minx").get<double>(), it->at("miny").get<double>(), it->at("maxx").get<double>(),
                           it->at("maxy").get<double>()};
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // an entry of another shape: leave the bounds out
  }
}

}  // namespace

boost::asio::awaitable<response> get_tilejson(tile_gateway_module& m, const std::string& layer_names,
                                              const std::string& base_url, session& db) {
  const auto names = detail::named_layers(m.layers, layer_names);
  std::vector<tilejson_layer> layers;
  for (const auto& name : names) {
    const layer_record& record = *m.layers.find(name);
    tilejson_layer entry;
    entry.id = name;
    entry.min_zoom = record.min_zoom;
    entry.fields = co_await fields_of(m, name, record, db);
    if (auto centroid = co_await layer_centroid(m, name, record, db)) entry.extent = extent_of(*centroid);
    layers.push_back(std::move(entry));
  }
  co_return host::http::json_response(tilejson_document(base_url, layer_names, layers));
}

}  // namespace mapsvc::tile_gateway
