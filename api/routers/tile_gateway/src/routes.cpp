// The route table of the tile service under "/gis", in its published order. Literal path
// segments outrank parameters in the host's matching, so /gis/layers/ and /gis/health/ never
// reach the centroid route.
#include "host/http/errors.hpp"
#include "host/http/public_url.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"

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
         .description = "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.",
         .params = {path_param("layer_name")},
         .who = host::http::access::admin},
        [this](request_context& ctx) { return invalidate_cache_endpoint(*this, ctx.params.string("layer_name")); });

  r.add({.path = "/health/", .name = "health_check", .description = "Health check endpoint for monitoring."},
        [this](request_context&) { return health_check(*this); });
}

}  // namespace mapsvc::tile_gateway
