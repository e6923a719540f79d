// The route table of the tile service under "/gis", in its published order. Literal path
// segments outrank parameters in the host's matching, so /gis/layers/ and /gis/health/ never
// reach the centroid route.
#include "host/http/errors.hpp"
#include "host/http/public_url.hpp"
#include "mapsvc/tile_gateway/area_purge.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "changes_endpoint.hpp"

namespace mapsvc::tile_gateway {

using host::http::param_type;
using host::http::path_param;
using host::http::query_param;
using host::http::request_context;
namespace verb_ns = boost::beast::http;

namespace {

// A negative feature limit is a client error (422), not a statement the database refuses.
host::http::param_spec at_least_zero(host::http::param_spec p) {
  p.minimum = 0;
  return p;
}

std::optional<std::string_view> header_of(const request_context& ctx, std::string_view name) {
  const auto it = ctx.message.find(name);
  if (it == ctx.message.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

}  // namespace

void tile_gateway_module::register_routes() {
  constexpr auto mvt = "application/vnd.mapbox-vector-tile";
  auto& r = tileGateway;

  r.add({.path = "/{layer_name}/{z}/{x}/{y}.pbf",
         .name = "get_tile_xyz",
         .description = "Serve vector tiles with proper zoom-out support.",
         .params = {path_param("layer_name"), path_param("z", param_type::integer),
                    path_param("x", param_type::integer), path_param("y", param_type::integer)},
         .uses_db = true,
         .media_type = mvt},
        [this](request_context& ctx) {
          const auto& p = ctx.params;
          return get_tile_xyz(*this, p.string("layer_name"), p.integer_value("z"), p.integer_value("x"),
                              p.integer_value("y"), ctx.session());
        });

  r.add({.path = "/{layer_name}/tilejson.json",
         .name = "get_tilejson",
         .description = "TileJSON 3.0.0 of a layer, or of several joined by commas (one composite source).",
         .params = {path_param("layer_name")},
         .uses_db = true},
        [this](request_context& ctx) -> boost::asio::awaitable<host::http::response> {
          std::string base = public_url();
          const bool from_request = base.empty();
          if (from_request) {
            const host::http::address_headers headers{header_of(ctx, "Forwarded"), header_of(ctx, "X-Forwarded-Proto"),
                                                      header_of(ctx, "X-Forwarded-Host"), header_of(ctx, "Host")};
            auto derived = host::http::base_url_from_headers(headers);
            if (!derived) throw host::http::http_error(400, "No valid Host header to build tile URLs from");
            base = std::move(*derived);
          }
          auto answer = co_await get_tilejson(*this, ctx.params.string("layer_name"), base, ctx.session());
          // The URLs follow these headers: shared caches must keep one copy per value.
          if (from_request) answer.header("Vary", "Host, Forwarded, X-Forwarded-Proto, X-Forwarded-Host");
          co_return answer;
        });

  r.add({.path = "/{layer_name}/zoom-info/",
         .name = "get_layer_zoom_info",
         .description = "Get zoom level information for a layer.",
         .params = {path_param("layer_name")}},
        [this](request_context& ctx) { return get_layer_zoom_info(*this, ctx.params.string("layer_name")); });

  r.add({.path = "/{layer_name}/bbox/",
         .name = "get_tile_bbox",
         .description = "Serve vector tiles for custom bounding box.",
         .params = {path_param("layer_name"),
                    query_param("minx", param_type::number, std::nullopt, "Bounding box minimum X"),
                    query_param("miny", param_type::number, std::nullopt, "Bounding box minimum Y"),
                    query_param("maxx", param_type::number, std::nullopt, "Bounding box maximum X"),
                    query_param("maxy", param_type::number, std::nullopt, "Bounding box maximum Y"),
                    query_param("srid", param_type::integer, host::http::integer{"4326", 4326}, "SRID of input bbox"),
                    at_least_zero(query_param("max_features", param_type::integer,
                                              host::http::integer{"5000", 5000}, "Maximum features to return")),
                    query_param("simplify", param_type::boolean, true, "Apply geometry simplification")},
         .uses_db = true,
         .media_type = mvt},
        [this](request_context& ctx) {
          const auto& p = ctx.params;
          return get_tile_bbox(*this, p.string("layer_name"), p.number("minx"), p.number("miny"), p.number("maxx"),
                               p.number("maxy"), p.integer_value("srid"), p.integer_value("max_features"),
                               p.boolean("simplify"), ctx.session());
        });

  r.add({.path = "/{layer_name}/",
         .name = "get_central_tile_info",
         .description = "Get layer centroid and suggested tile coordinates.",
         .params = {path_param("layer_name")},
         .uses_db = true},
        [this](request_context& ctx) {
          return get_central_tile_info(*this, ctx.params.string("layer_name"), ctx.session());
        });

  r.add({.path = "/layers/", .name = "get_available_layers",
         .description = "Get list of available layers and their configurations."},
        [this](request_context&) { return get_available_layers(*this); });

  r.add({.method = verb_ns::verb::post,
         .path = "/cache/invalidate/{layer_name}",
         .name = "invalidate_cache_endpoint",
         .description = "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.\n"
                        "With bbox, only the tiles meeting that box (and, without zooms, the box tiles meeting it).",
         .params = {path_param("layer_name"),
                    query_param("bbox", param_type::string, std::string(),
                                "Only tiles meeting this box: minx,miny,maxx,maxy"),
                    query_param("srid", param_type::string, std::string(), "SRID of bbox: 4326 (default) or 3857"),
                    query_param("zooms", param_type::string, std::string(),
                                "Only these zooms, with bbox: a zoom or a range a-b (1-20)")},
         .who = host::http::access::admin},
        [this](request_context& ctx) -> boost::asio::awaitable<host::http::response> {
          const auto& p = ctx.params;
          const auto& bbox = p.string("bbox");
          if (bbox.empty()) {
            if (!p.string("srid").empty() || !p.string("zooms").empty())
              throw host::http::http_error(400, "srid and zooms need a bbox");
            co_return co_await invalidate_cache_endpoint(*this, p.string("layer_name"));
          }
          const auto purge = parse_area_purge(bbox, p.string("srid"), p.string("zooms"));
          co_return co_await invalidate_area_endpoint(*this, p.string("layer_name"), purge);
        });

  r.add({.path = "/changes",
         .name = "get_changes",
         .description =
             "The changes to the cached tiles as Server-Sent Events, for open maps to fetch again exactly "
             "the tiles an edit touched.\n"
             "The stream starts with `retry: 2000`, then sends each batch of the change feed as `id: {position}`, "
             "`event: change` and `data: {\"position\":N,\"changes\":[{\"layer\":\"plots\","
             "\"bbox\":[west,south,east,north],\"minzoom\":8,\"maxzoom\":20}]}` (bbox in EPSG:4326: the "
             "layer's tiles at those zooms that meet it changed). A client without a position starts from now.\n"
             "With `Last-Event-ID` (browsers send it when they reconnect) or `?since=N`, the batches after N "
             "come first; when they are no longer held, `event: reset` with `data: {\"position\":N}` tells the "
             "client to reload all its tiles. A comment line `: keep-alive` every 15 s keeps quiet streams open.\n"
             "400 when the position is not a non-negative integer of at most 19 digits; 503 with Retry-After "
             "when this worker already serves MAPSVC_MAX_CHANGE_STREAMS streams. Streams end when the server "
             "drains; browsers then reconnect by themselves.",
         .params = {query_param("since", param_type::string, std::string(),
                                "Resume after this position (Last-Event-ID wins when both are sent)")},
         .media_type = "text/event-stream"},
        [this](request_context& ctx) { return get_changes(*this, ctx); });

  r.add({.path = "/health/", .name = "health_check", .description = "Health check endpoint for monitoring."},
        [this](request_context&) { return health_check(*this); });
}

}  // namespace mapsvc::tile_gateway
