// GET /gis/{layer_name}/bbox/
#include <limits>

#include <fmt/format.h>

#include "host/cancellation.hpp"
#include "host/http/errors.hpp"
#include "mapsvc/tile_gateway/bbox.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "entry_index.hpp"
#include "query_failure.hpp"
#include "tile_query.hpp"

namespace mapsvc::tile_gateway {
namespace {

// The most the cache read, and then the store, may add to a box tile.

struct box {
  double min_x, min_y, max_x, max_y;
};

// The limit as requested, capped at the global maximum. There is no lower bound: a negative
// limit goes to the database as it is, which refuses it.
struct feature_limit {
  std::int64_t for_key;
  clients::pg::value for_query;
};

feature_limit limit_of(const integer& requested) {
  if (requested.value) {
    const auto clamped = clamp_max_features(*requested.value);
    return {clamped, clamped};
  }
  if (!requested.text.empty() && requested.text.front() == '-')
    return {std::numeric_limits<std::int64_t>::min(), requested.text};
  return {MAX_FEATURES_GLOBAL, std::int64_t{MAX_FEATURES_GLOBAL}};
}

boost::asio::awaitable<box> to_web_mercator(session& db, double minx, double miny, double maxx, double maxy,
                                            std::int64_t srid) {
  const clients::pg::params params{{"x1", minx}, {"y1", miny}, {"x2", maxx}, {"y2", maxy}, {"input_srid", srid}};
  const auto result = co_await db.execute(BBOX_TRANSFORM_SQL, params);
  const auto row = result.first();
  if (!row) throw std::runtime_error("the transformation gave no row");
  co_return box{row->get<double>("min_x"), row->get<double>("min_y"), row->get<double>("max_x"),
                row->get<double>("max_y")};
}

// A box tile from memory, else from Redis.
boost::asio::awaitable<tile_lookup> cached_box(tile_gateway_module& m, std::string_view key) {
  if (auto in_memory = m.remembered(key); in_memory.hit) co_return in_memory;
  co_return co_await m.fetched(key, BOX_CACHE_BOUND);
}

// `x_cache`: a literal.
host::http::response tile_answer(host::http::shared_representation tile, std::string_view x_cache) {
  auto r = host::http::entity_response(std::move(tile), "application/vnd.mapbox-vector-tile");
  r.header("Cache-Control", host::http::public_max_age(CACHE_TTL_SHORT));
  r.header("X-Cache", host::http::header_text::lasting(x_cache));
  return r;
}

// Ticket and listing before a box tile's statement runs (see entry_index), so that an edit of
// the layer finds the tile or refuses its store; none when Redis did not answer the read.
boost::asio::awaitable<std::optional<BinaryRedisCache::build_ticket>> begin_box_build(tile_gateway_module& m,
                                                                                      bool redis_answered,
                                                                                      std::string_view layer_name,
                                                                                      std::string_view cache_key) {
  if (!redis_answered) co_return std::nullopt;
  auto list = entry_index::box_list(m.cache.cache_namespace, layer_name);
  co_return co_await m.begin_build(std::move(list), cache_key, CACHE_TTL_SHORT, BOX_CACHE_BOUND);
}

}  // namespace

boost::asio::awaitable<response> get_tile_bbox(tile_gateway_module& m, const std::string& layer_name, double minx,
                                               double miny, double maxx, double maxy, const integer& srid_in,
                                               const integer& max_features_in, bool simplify, session& db) {
  if (!m.layers.contains(layer_name)) throw host::http::http_error(404, layer_not_found_detail(layer_name));
  // An SRID beyond 64 bits is as unsupported as any other.
  const std::int64_t srid = srid_in.value.value_or(0);
  if (auto refusal = check_bbox_request(srid, minx, miny, maxx, maxy)) throw host::http::http_error(400, *refusal);
  const auto limit = limit_of(max_features_in);

  box mercator{minx, miny, maxx, maxy};
  if (srid != SRID_WEB_MERCATOR) {
    std::optional<std::string> failure;
    try {
      mercator = co_await to_web_mercator(db, minx, miny, maxx, maxy, srid);
    } catch (const std::exception& e) {
      if (host::is_cancellation(e)) throw;
      failure = e.what();
    }
    if (failure) {
      m.logger->error("Coordinate transformation error: {}", *failure);
      throw host::http::http_error(400, "Invalid coordinate transformation");
    }
  }

  const std::string cache_key = bbox_cache_key(layer_name, mercator.min_x, mercator.min_y, mercator.max_x,
                                               mercator.max_y, limit.for_key, simplify);
  auto found = co_await cached_box(m, cache_key);
  if (found.hit) co_return tile_answer(std::move(found.hit->tile), "HIT");
  // Without a ticket the tile is answered but not stored.
  const auto ticket = co_await begin_box_build(m, found.redis_answered, layer_name, cache_key);

  const std::string sql = bbox_tile_sql(layer_name, should_simplify_bbox(simplify, srid, minx, miny, maxx, maxy));
  const clients::pg::params params{{"min_x", mercator.min_x},
                                   {"min_y", mercator.min_y},
                                   {"max_x", mercator.max_x},
                                   {"max_y", mercator.max_y},
                                   {"max_features", limit.for_query}};
  const auto timeout = m.query_timeout(BBOX_QUERY_TIMEOUT);

  auto mvt_content = co_await query_or_answer_failure(
      m, db, [&](session& s) { return detail::fetch_tile(s, sql, params, timeout); },
      [&] {
        return query_failure_texts{.timeout_log = fmt::format("Timeout generating bbox tile for {}", layer_name),
                                   .timeout_answer = "Query timeout",
                                   .error_log = fmt::format("Error generating bbox tile for {}", layer_name),
                                   .error_answer = "Internal server error"};
      });

  if (!mvt_content || mvt_content->empty()) co_return host::http::empty_response(204);
  auto tile = co_await m.keep(cache_key, std::move(*mvt_content), CACHE_TTL_SHORT, BOX_CACHE_BOUND, ticket);
  co_return tile_answer(std::move(tile), "MISS");
}

}  // namespace mapsvc::tile_gateway
