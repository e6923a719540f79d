// GET /gis/{layer_name}/{z}/{x}/{y}.pbf
#include <algorithm>
#include <exception>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fmt/format.h>

#include "host/helpers/utils.hpp"
#include "host/http/errors.hpp"
#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"
#include "mapsvc/tile_gateway/tile_checks.hpp"
#include "mapsvc/tile_gateway/tile_sql.hpp"
#include "mapsvc/tile_gateway/zoom_policy.hpp"
#include "entry_index.hpp"
#include "layer_names.hpp"
#include "query_failure.hpp"
#include "tile_query.hpp"

namespace mapsvc::tile_gateway {

inline constexpr std::string_view MVT_MEDIA_TYPE = "application/vnd.mapbox-vector-tile";

namespace {

// Addresses outside 64 bits are invalid anyway; the check itself needs no big numbers.
bool valid_address(const integer& z, const integer& x, const integer& y) {
  return z.value && x.value && y.value && validate_tile_coords(*z.value, *x.value, *y.value);
}

// The tile's bytes from the database; none or empty for an empty tile. Failures are the
// endpoint's HTTP errors.
boost::asio::awaitable<std::optional<std::string>> fetch_built(tile_gateway_module& m, const std::string& layer_name,
                                                               std::int64_t z, std::int64_t x, std::int64_t y,
                                                               const std::string& sql, session& db) {
  const auto bounds = host::helpers::bounds_of(static_cast<int>(z), x, y);
  const clients::pg::params params{
      {"min_x", bounds.minx}, {"min_y", bounds.miny}, {"max_x", bounds.maxx}, {"max_y", bounds.maxy}};
  const auto timeout = m.query_timeout(tile_query_timeout(z));

  auto mvt_content = co_await query_or_answer_failure(
      m, db, [&](session& s) { return detail::fetch_tile(s, sql, params, timeout); },
      [&] {
        const auto tile = fmt::format("{}/{}/{}/{}", layer_name, z, x, y);
        return query_failure_texts{.timeout_log = "Timeout generating tile " + tile,
                                   .timeout_answer = fmt::format("Tile generation timeout at zoom {}", z),
                                   .error_log = "Database error for tile " + tile,
                                   .error_answer = "Database error",
                                   .unexpected_log = "Unexpected error for tile " + tile,
                                   .unexpected_answer = "Internal server error"};
      });
  if (!mvt_content || mvt_content->empty()) {
    const nlohmann::ordered_json bbox{{"minx", bounds.minx}, {"miny", bounds.miny}, {"maxx", bounds.maxx},
                                      {"maxy", bounds.maxy}};
    m.logger->info("Empty tile generated for {}/{}/{}/{} - bbox: {}", layer_name, z, x, y, python_repr(bbox));
    co_return std::nullopt;
  }
  co_return mvt_content;
}

// The tile from the database, stored in the cache; null for an empty tile. Failures are the
// endpoint's HTTP errors.
boost::asio::awaitable<host::http::shared_representation> build_tile(tile_gateway_module& m,
                                                                     const std::string& layer_name, std::int64_t z,
                                                                     std::int64_t x, std::int64_t y,
                                                                     const std::string& sql, const zoom_config& zoom_cfg,
                                                                     const std::string& cache_key, session& db,
                                                                     bool redis_answered) {
  const auto ttl = m.stored_ttl(zoom_cfg.cache_ttl);
  // Ticket and listing before the statement runs (see entry_index); a tile without them is
  // answered but not stored, or an edit could miss it.
  std::optional<BinaryRedisCache::build_ticket> store_with;
  if (redis_answered) {
    auto list = entry_index::tile_list(m.cache.cache_namespace, layer_name, static_cast<int>(z));
    store_with = co_await m.begin_build(std::move(list), cache_key, ttl, TILE_CACHE_BOUND);
  }
  auto mvt_content = co_await fetch_built(m, layer_name, z, x, y, sql, db);
  if (!mvt_content) co_return nullptr;
  co_return co_await m.keep(cache_key, std::move(*mvt_content), ttl, TILE_CACHE_BOUND, store_with);
}

// One layer's tile at one address, as both the single and the composite tile answer it.
struct layer_tile {
  host::http::shared_representation tile;  // null: empty, or the layer is not served at this zoom
  tile_level level = tile_level::empty;
  int cache_ttl = 0;
};

boost::asio::awaitable<layer_tile> tile_of_layer(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                                 std::int64_t x, std::int64_t y, session& db) {
  const auto* statement = served_statement(layer_name, z);
  if (!statement) {
    try {
      generate_mvt_sql(layer_name, z);  // for its reason
    } catch (const std::invalid_argument& e) {
      m.logger->info("Layer {} not available at zoom {}: {}", layer_name, z, e.what());
    }
    if (auto suggestion = try_layers_message(z)) m.logger->info("{}", *suggestion);
    m.count_tile(layer_name, tile_level::empty);
    co_return layer_tile{};
  }
  const auto& sql = statement->first;
  const auto& zoom_cfg = statement->second;

  tile_key_buffer key_text;
  const auto key = tile_cache_key(key_text, layer_name, z, x, y);
  // A tile held in memory is answered without another coroutine.
  auto found = m.remembered(key);
  if (!found.hit) found = co_await m.fetched(key, TILE_CACHE_BOUND);
  if (found.hit) {
    const auto level = found.hit->level == cache_level::memory ? tile_level::memory : tile_level::redis;
    m.count_tile(layer_name, level);
    co_return layer_tile{std::move(found.hit->tile), level, zoom_cfg.cache_ttl};
  }
  const std::string cache_key(key);

  // Requests for the same tile arriving meanwhile share this one statement (and its ticket,
  // taken before it).
  auto tile = co_await m.tile_builds.run(cache_key, [&]() {
    return build_tile(m, layer_name, z, x, y, sql, zoom_cfg, cache_key, db, found.redis_answered);
  });
  const auto level = tile ? tile_level::miss : tile_level::empty;
  m.count_tile(layer_name, level);
  co_return layer_tile{std::move(tile), level, 0};
}

std::string_view note_of(tile_level level) { return to_string(level); }

// One layer of a composite tile, on `shared_db` or, when null, on a session of its own that is
// closed before the layer's outcome (its tile or its error) is handed on.
boost::asio::awaitable<void> build_part(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                        std::int64_t x, std::int64_t y, session* shared_db, layer_tile& out) {
  if (shared_db) {
    out = co_await tile_of_layer(m, layer_name, z, x, y, *shared_db);
    co_return;
  }
  auto own = m.open_session()();
  std::exception_ptr failure;
  try {
    out = co_await tile_of_layer(m, layer_name, z, x, y, own);
  } catch (...) {
    failure = std::current_exception();
  }
  co_await own.close();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

boost::asio::awaitable<response> get_tile_xyz(tile_gateway_module& m, const std::string& layer_name,
                                              const integer& z_in, const integer& x_in, const integer& y_in,
                                              session& db) {
  if (layer_name.find(',') != std::string::npos) co_return co_await get_composite_tile(m, layer_name, z_in, x_in, y_in, db);
  if (!m.layers.contains(layer_name)) throw host::http::http_error(404, layer_not_found_detail(layer_name));
  if (!valid_address(z_in, x_in, y_in))
    throw host::http::http_error(400, invalid_tile_detail(z_in.text, x_in.text, y_in.text));

  auto found = co_await tile_of_layer(m, layer_name, *z_in.value, *x_in.value, *y_in.value, db);
  if (!found.tile) {
    auto empty = host::http::empty_response(204);
    empty.cache_note = note_of(found.level);
    co_return empty;
  }
  auto answer = host::http::entity_response(std::move(found.tile), host::http::header_text::lasting(MVT_MEDIA_TYPE));
  answer.cache_note = note_of(found.level);
  if (found.level != tile_level::miss) {
    answer.header("Cache-Control", host::http::public_max_age(m.client_max_age(found.cache_ttl)));
    answer.header("X-Cache", "HIT");
  }
  co_return answer;
}

boost::asio::awaitable<bool> refresh_tile(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                          std::int64_t x, std::int64_t y, session& db) {
  auto statement = served_statement(layer_name, z);
  if (!statement) co_return false;
  // Named, not bound: clang 15 cannot capture structured bindings in the lambda below.
  const auto& sql = statement->first;
  const auto& zoom_cfg = statement->second;
  const std::string cache_key = tile_cache_key(layer_name, z, x, y);
  // While Redis is skipped nothing built could be stored: no refresh then. The build takes its
  // ticket first: an edit applied while the statement runs refuses the store.
  if (m.breaker.current() != cache_breaker::state::closed) co_return false;
  auto tile = co_await m.tile_builds.run(cache_key, [&]() {
    return build_tile(m, layer_name, z, x, y, sql, zoom_cfg, cache_key, db, true);
  });
  co_return tile != nullptr;
}

boost::asio::awaitable<seeded_tile> seed_tile(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                              std::int64_t x, std::int64_t y, session& db) {
  auto statement = served_statement(layer_name, z);
  if (!statement) co_return seeded_tile{};
  const auto& [sql, zoom_cfg] = *statement;
  const std::string cache_key = tile_cache_key(layer_name, z, x, y);
  const auto ttl = m.stored_ttl(zoom_cfg.cache_ttl);
  // Not through the breaker: a seeder wants each Redis failure, to retry it, not a skipped store.
  // The ticket and the listing in one round trip: both must precede the statement.
  const auto list = entry_index::tile_list(m.cache.cache_namespace, layer_name, static_cast<int>(z));
  auto listing = entry_index::add_command(list, cache_key, ttl);  // named: see guarded_cache.cpp
  const auto ticket = co_await m.cache.ticket_for(cache_key, TILE_CACHE_BOUND, std::move(listing));
  auto bytes = co_await fetch_built(m, layer_name, z, x, y, sql, db);
  if (!bytes) co_return seeded_tile{};
  const bool stored = co_await m.cache.set_if_current(cache_key, *bytes, ttl, ticket, TILE_CACHE_BOUND);
  co_return seeded_tile{stored ? seeded_tile::stored : seeded_tile::overtaken, bytes->size()};
}

boost::asio::awaitable<std::optional<std::string>> build_layer_tile(tile_gateway_module& m,
                                                                    const std::string& layer_name, std::int64_t z,
                                                                    std::int64_t x, std::int64_t y, session& db) {
  const auto statement = generate_mvt_sql(layer_name, z);
  co_return co_await fetch_built(m, layer_name, z, x, y, statement.first, db);
}

// A vector tile is a sequence of layers, so the layers' own tiles put end to end are one tile
// holding all of them, in the order asked.
response composite_answer(const tile_gateway_module& m, const std::vector<layer_tile>& parts) {
  std::string bytes;
  bool all_cached = true;
  bool any_redis = false;
  int max_age = 0;
  for (const auto& part : parts) {
    if (!part.tile) continue;
    bytes += part.tile->bytes();
    if (part.level == tile_level::miss) {
      all_cached = false;
    } else {
      any_redis |= part.level == tile_level::redis;
      max_age = max_age == 0 ? part.cache_ttl : std::min(max_age, part.cache_ttl);
    }
  }
  if (bytes.empty()) {
    auto empty = host::http::empty_response(204);
    empty.cache_note = note_of(tile_level::empty);
    return empty;
  }
  auto tile = std::make_shared<const host::http::representation>(std::move(bytes));
  auto answer = host::http::entity_response(std::move(tile), host::http::header_text::lasting(MVT_MEDIA_TYPE));
  answer.cache_note = !all_cached ? note_of(tile_level::miss) : any_redis ? note_of(tile_level::redis)
                                                                          : note_of(tile_level::memory);
  if (all_cached) {
    answer.header("Cache-Control", host::http::public_max_age(m.client_max_age(max_age)));
    answer.header("X-Cache", "HIT");
  }
  return answer;
}

boost::asio::awaitable<response> get_composite_tile(tile_gateway_module& m, const std::string& layer_names,
                                                    const integer& z_in, const integer& x_in, const integer& y_in,
                                                    session& db) {
  const auto names = detail::named_layers(m.layers, layer_names);
  if (!valid_address(z_in, x_in, y_in))
    throw host::http::http_error(400, invalid_tile_detail(z_in.text, x_in.text, y_in.text));

  std::vector<layer_tile> parts(names.size());
  if (m.open_session() && names.size() > 1) {
    // Side by side: the request's session builds the first layer, a session of its own each
    // other one, so that a composite of misses takes its slowest layer's time, not their sum.
    using part_op = decltype(boost::asio::co_spawn(m.executor, build_part(m, names[0], 0, 0, 0, &db, parts[0]),
                                                   boost::asio::deferred));
    std::vector<part_op> ops;
    for (std::size_t i = 0; i < names.size(); ++i)
      ops.push_back(boost::asio::co_spawn(
          m.executor, build_part(m, names[i], *z_in.value, *x_in.value, *y_in.value, i == 0 ? &db : nullptr, parts[i]),
          boost::asio::deferred));
    auto [order, failures] = co_await boost::asio::experimental::make_parallel_group(std::move(ops))
                                 .async_wait(boost::asio::experimental::wait_for_all(), boost::asio::use_awaitable);
    for (const auto& failure : failures)
      if (failure) std::rethrow_exception(failure);
  } else {
    for (std::size_t i = 0; i < names.size(); ++i)
      parts[i] = co_await tile_of_layer(m, names[i], *z_in.value, *x_in.value, *y_in.value, db);
  }

  co_return composite_answer(m, parts);
}

}  // namespace mapsvc::tile_gateway
