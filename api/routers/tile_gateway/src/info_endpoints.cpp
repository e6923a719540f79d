// The JSON endpoints: zoom information, layer centroid, layer list and health.
#include <fmt/format.h>

#include "host/cancellation.hpp"
#include "host/helpers/responses.hpp"
#include "host/helpers/utils.hpp"
#include "host/http/errors.hpp"
#include "mapsvc/tile_gateway/area_purge.hpp"
#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/centroid.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "mapsvc/tile_gateway/layer_info.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"
#include "plan_apply.hpp"
#include "query_failure.hpp"

namespace mapsvc::tile_gateway {

using host::helpers::api_response;
using host::helpers::api_router_response;

boost::asio::awaitable<response> get_layer_zoom_info(tile_gateway_module& m, const std::string& layer_name) {
  if (!m.layers.contains(layer_name)) throw host::http::http_error(404, layer_not_found_detail(layer_name));
  co_return api_router_response(api_response({.data = zoom_info_data(layer_name)}));
}

namespace {

// The most the cache read, and then the store, may add to a centroid answer.
constexpr std::chrono::milliseconds CACHE_BOUND{2000};

// A cached answer, or none when it is missing or cannot be read back.
std::optional<nlohmann::ordered_json> parse_cached(const std::optional<std::string>& cached) {
  if (!cached || cached->empty()) return std::nullopt;
  try {
    return nlohmann::ordered_json::parse(*cached);
  } catch (const std::exception&) {
    return std::nullopt;  // unreadable: computed afresh and overwritten
  }
}

boost::asio::awaitable<std::optional<centroid_row>> run_centroid_query(session& db, const std::string& sql,
                                                                       std::chrono::milliseconds timeout) {
  const auto result = co_await db.execute(sql, {}, timeout);
  const auto row = result.first();
  if (!row || row->is_null("lat") || row->is_null("lon")) co_return std::nullopt;
  co_return centroid_row{row->get<double>("lat"),         row->get<double>("lon"),
                         row->get<double>("extent_minx"), row->get<double>("extent_miny"),
                         row->get<double>("extent_maxx"), row->get<double>("extent_maxy")};
}

}  // namespace

boost::asio::awaitable<std::optional<nlohmann::ordered_json>> layer_centroid(tile_gateway_module& m,
                                                                             const std::string& layer_name,
                                                                             const layer_record& layer, session& db) {
  const std::string cache_key = centroid_cache_key(layer_name);
  if (auto cached = parse_cached(co_await m.safe_cache_get(cache_key, CACHE_BOUND))) co_return std::move(*cached);

  const std::string sql = centroid_sql(layer);
  const auto timeout = m.query_timeout(CENTROID_QUERY_TIMEOUT);
  const auto centroid = co_await query_or_answer_failure(
      m, db, [&](session& s) { return run_centroid_query(s, sql, timeout); },
      [&] {
        return query_failure_texts{.timeout_log = fmt::format("Timeout calculating centroid for {}", layer_name),
                                   .timeout_answer = "Centroid calculation timeout",
                                   .error_log = fmt::format("Error calculating centroid for {}", layer_name),
                                   .error_answer = "Database error"};
      });
  if (!centroid) co_return std::nullopt;

  const auto tile = host::helpers::latlon_to_xyz(centroid->lat, centroid->lon, DEFAULT_CENTROID_ZOOM);
  const auto bbox = host::helpers::xyz_to_bbox_web_mercator(tile["z"].get<int>(), tile["x"].get<std::int64_t>(),
                                                            tile["y"].get<std::int64_t>());
  auto response_data = centroid_response_data(layer_name, *centroid, tile, bbox, layer);
  // Built before the co_await: g++ 12 destroys temporaries of a co_await expression twice.
  const std::string stored = python_json_dumps(response_data);
  co_await m.safe_cache_set(cache_key, stored, CENTROID_CACHE_TTL, CACHE_BOUND);
  co_return response_data;
}

boost::asio::awaitable<response> get_central_tile_info(tile_gateway_module& m, const std::string& layer_name,
                                                       session& db) {
  const layer_record* layer = m.layers.find(layer_name);
  if (!layer) throw host::http::http_error(404, layer_not_found_detail(layer_name));
  auto data = co_await layer_centroid(m, layer_name, *layer, db);
  if (!data)
    co_return api_router_response(api_response({.message = no_valid_geometry_message(layer_name), .status_code = 404}));
  co_return api_router_response(api_response({.data = std::move(*data)}));
}

boost::asio::awaitable<response> get_available_layers(tile_gateway_module&) {
  // The catalogue never changes, so neither does the answer.
  static const response answer = api_router_response(api_response({.data = layers_data()}));
  co_return answer;
}

boost::asio::awaitable<response> health_check(tile_gateway_module& m) {
  bool cache_healthy = false;
  try {
    co_await m.cache.get("health_check", std::chrono::milliseconds(2000));
    cache_healthy = true;
  } catch (const std::exception&) {
    // Any failure of the probe only marks the cache unhealthy.
  }
  co_return host::http::json_response(health_body(cache_healthy));
}

boost::asio::awaitable<response> invalidate_cache_endpoint(tile_gateway_module& m, const std::string& layer_name) {
  if (layer_name == "all") {
    const auto deleted_count = co_await m._invalidate_all_cache_task();
    nlohmann::ordered_json data{{"deleted_count", deleted_count}};
    co_return api_router_response(api_response({.data = std::move(data), .message = all_invalidated_message(deleted_count)}));
  }
  if (!m.layers.contains(layer_name))
    throw host::http::http_error(404, invalidation_unknown_layer_detail(layer_name));
  const auto deleted_count = co_await m._invalidate_layer_cache_task(layer_name);
  nlohmann::ordered_json data{{"layer", layer_name}, {"deleted_count", deleted_count}};
  co_return api_router_response(
      api_response({.data = std::move(data), .message = layer_invalidated_message(layer_name, deleted_count)}));
}

boost::asio::awaitable<response> invalidate_area_endpoint(tile_gateway_module& m, const std::string& layer_name,
                                                         const area_purge& purge) {
  if (layer_name != "all" && !m.layers.contains(layer_name))
    throw host::http::http_error(404, invalidation_unknown_layer_detail(layer_name));
  const auto plan = area_purge_plan(m.layers, layer_name, purge);
  std::int64_t deleted_count = 0;
  try {
    deleted_count = static_cast<std::int64_t>((co_await detail::apply_plan(m, plan)).deleted);
    m.logger->info("Invalidated {} cache entries of '{}' in the box [{}, {}, {}, {}] (EPSG:3857) at zooms {}-{}",
                   deleted_count, layer_name, purge.box.minx, purge.box.miny, purge.box.maxx, purge.box.maxy,
                   purge.min_zoom, purge.max_zoom);
  } catch (const std::exception& e) {
    if (host::is_cancellation(e)) throw;
    m.logger->error("Failed to invalidate the box for '{}': {}", layer_name, e.what());
    throw host::http::http_error(503, "Cache unavailable: nothing or only part of the box was invalidated");
  }
  nlohmann::ordered_json data{{"layer", layer_name},
                              {"bbox", {purge.box.minx, purge.box.miny, purge.box.maxx, purge.box.maxy}},
                              {"srid", 3857},
                              {"zooms", {purge.min_zoom, purge.max_zoom}},
                              {"deleted_count", deleted_count}};
  co_return api_router_response(api_response(
      {.data = std::move(data),
       .message = fmt::format("Cache for layer '{}' invalidated in the box: {} keys deleted.", layer_name, deleted_count)}));
}

}  // namespace mapsvc::tile_gateway
