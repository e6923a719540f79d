// Route matching, parameter conversion and the answers the host gives before a handler runs.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "host/http/app.hpp"
#include "host/http/errors.hpp"

namespace {
using namespace host::http;
using boost::beast::http::verb;
namespace asio = boost::asio;

handler named(std::string name) {
  return [name](request_context&) -> asio::awaitable<response> { co_return raw_response(name, "text/plain"); };
}

// The routes of the tile service, registered in their published order.
app tile_like_app() {
  router r("/gis", {"GIS Tiles"});
  r.add({.path = "/{layer_name}/{z}/{x}/{y}.pbf", .name = "xyz",
         .params = {path_param("layer_name"), path_param("z", param_type::integer),
                    path_param("x", param_type::integer), path_param("y", param_type::integer)}},
        named("xyz"));
  r.add({.path = "/{layer_name}/zoom-info/", .name = "zoom_info", .params = {path_param("layer_name")}}, named("zoom_info"));
  r.add({.path = "/{layer_name}/bbox/", .name = "bbox",
         .params = {path_param("layer_name"), query_param("minx", param_type::number, std::nullopt, "min x"),
                    query_param("srid", param_type::integer, integer{"4326", 4326}),
                    query_param("simplify", param_type::boolean, true)}},
        named("bbox"));
  r.add({.path = "/{layer_name}/", .name = "centroid", .params = {path_param("layer_name")}}, named("centroid"));
  r.add({.path = "/layers/", .name = "layers"}, named("layers"));
  r.add({.method = verb::post, .path = "/cache/invalidate/{layer_name}", .name = "invalidate",
         .params = {path_param("layer_name")}},
        named("invalidate"));
  r.add({.path = "/health/", .name = "health"}, named("health"));
  r.add({.path = "/boom/", .name = "boom"}, [](request_context&) -> asio::awaitable<response> {
    throw std::runtime_error("kaboom");
    co_return response{};
  });
  r.add({.path = "/teapot/", .name = "teapot"}, [](request_context&) -> asio::awaitable<response> {
    throw http_error(418, "short and stout");
    co_return response{};
  });
  app a("test", "1");
  a.mount(r);
  return a;
}

std::string matched(const app& a, verb method, std::string_view path) {
  const auto res = a.resolve(method, path);
  if (const auto* m = std::get_if<route_match>(&res)) return m->matched->declared.name;
  if (std::holds_alternative<wrong_method>(res)) return "405";
  if (const auto* r = std::get_if<slash_redirect>(&res)) return "307 " + r->location;
  return "404";
}

response dispatch(const app& a, verb method, std::string target) {
  http_request req{method, target, 11};
  asio::io_context io;
  auto f = asio::co_spawn(io, a.dispatch(req), asio::use_future);
  io.run();
  return f.get();
}

TEST(RouteMatching, LiteralSegmentsWinWhateverTheOrder) {
  const app a = tile_like_app();
  EXPECT_EQ(matched(a, verb::get, "/gis/layers/"), "layers");
  EXPECT_EQ(matched(a, verb::get, "/gis/health/"), "health");
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/"), "centroid");
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/zoom-info/"), "zoom_info");
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/bbox/"), "bbox");
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/15/17000/15000.pbf"), "xyz");
  EXPECT_EQ(matched(a, verb::head, "/gis/plots/"), "centroid");
}

TEST(RouteMatching, UnknownPathsWrongMethodsAndSlashes) {
  const app a = tile_like_app();
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/15/17000/15000.png"), "404");
  EXPECT_EQ(matched(a, verb::get, "/gis/plots/15/17000/.pbf"), "404");
  EXPECT_EQ(matched(a, verb::get, "/other"), "404");
  EXPECT_EQ(matched(a, verb::get, "/gis/cache/invalidate/plots"), "405");
  EXPECT_EQ(matched(a, verb::post, "/gis/layers/"), "405");
  EXPECT_EQ(matched(a, verb::get, "/gis/layers"), "307 /gis/layers/");
}

TEST(Dispatch, PathParametersArePercentDecodedAndConverted) {
  app a("t", "1");
  router r;
  r.add({.path = "/echo/{name}/{n}", .name = "echo",
         .params = {path_param("name"), path_param("n", param_type::integer)}},
        [](request_context& ctx) -> asio::awaitable<response> {
          const auto& n = ctx.params.integer_value("n");
          co_return raw_response(ctx.params.string("name") + "|" + n.text + "|" + (n.value ? "fits" : "huge"),
                                 "text/plain");
        });
  a.mount(r);
  EXPECT_EQ(dispatch(a, verb::get, "/echo/a%20b/007").body, "a b|7|fits");
  EXPECT_EQ(dispatch(a, verb::get, "/echo/x/-99999999999999999999999999").body, "x|-99999999999999999999999999|huge");
}

TEST(Dispatch, RequestTargetsInOriginOrAbsoluteForm) {
  const app a = tile_like_app();
  EXPECT_EQ(dispatch(a, verb::get, "/gis/layers/").body, "layers");
  EXPECT_EQ(dispatch(a, verb::get, "http://example.org/gis/layers/").body, "layers");
  EXPECT_EQ(dispatch(a, verb::get, "https://example.org:8443/gis/layers/?x=1").body, "layers");
  // Without a leading "/" the path is ambiguous, and a redirect to it would be relative.
  for (const char* target : {"gis/layers", "gis/p?x", "*", "", "http://example.org?x"})
    EXPECT_EQ(dispatch(a, verb::get, target).status, 400u) << target;
  EXPECT_EQ(host::http::origin_form("http://example.org"), "/");
}

TEST(Dispatch, BadParametersAre422NamingEachOne) {
  const app a = tile_like_app();
  const auto r = dispatch(a, verb::get, "/gis/plots/abc/1/2.5.pbf");
  EXPECT_EQ(r.status, 422u);
  const auto body = nlohmann::json::parse(r.body);
  ASSERT_EQ(body["detail"].size(), 2u);
  EXPECT_EQ(body["detail"][0]["loc"], nlohmann::json({"path", "z"}));
  EXPECT_EQ(body["detail"][0]["type"], "int_parsing");
  EXPECT_EQ(body["detail"][1]["loc"], nlohmann::json({"path", "y"}));

  const auto missing = dispatch(a, verb::get, "/gis/plots/bbox/?srid=3857&simplify=maybe");
  EXPECT_EQ(missing.status, 422u);
  const auto detail = nlohmann::json::parse(missing.body)["detail"];
  EXPECT_EQ(detail[0]["type"], "missing");
  EXPECT_EQ(detail[0]["loc"], nlohmann::json({"query", "minx"}));
  EXPECT_EQ(detail[1]["type"], "bool_parsing");
}

TEST(Dispatch, DefaultsApplyAndHandlerErrorsBecomeDetails) {
  const app a = tile_like_app();
  EXPECT_EQ(dispatch(a, verb::get, "/gis/plots/bbox/?minx=1.5").body, "bbox");
  const auto boom = dispatch(a, verb::get, "/gis/boom/");
  EXPECT_EQ(boom.status, 500u);
  EXPECT_EQ(boom.body, R"({"detail":"Internal Server Error"})");
  const auto teapot = dispatch(a, verb::get, "/gis/teapot/");
  EXPECT_EQ(teapot.status, 418u);
  EXPECT_EQ(teapot.body, R"({"detail":"short and stout"})");
  EXPECT_EQ(dispatch(a, verb::get, "/nowhere").body, R"({"detail":"Not Found"})");
  EXPECT_EQ(dispatch(a, verb::post, "/gis/health/").body, R"({"detail":"Method Not Allowed"})");
}

TEST(ApiDescription, ListsRoutesWithTagsParametersAndDefaults) {
  const app a = tile_like_app();
  const auto doc = a.openapi();
  const auto& bbox = doc["paths"]["/gis/{layer_name}/bbox/"]["get"];
  EXPECT_EQ(bbox["tags"][0], "GIS Tiles");
  EXPECT_EQ(bbox["operationId"], "bbox");
  EXPECT_EQ(bbox["parameters"][1]["name"], "minx");
  EXPECT_EQ(bbox["parameters"][1]["required"], true);
  EXPECT_EQ(bbox["parameters"][1]["description"], "min x");
  EXPECT_EQ(bbox["parameters"][2]["schema"]["default"], 4326);
  EXPECT_EQ(bbox["parameters"][3]["schema"]["type"], "boolean");
  EXPECT_TRUE(doc["paths"]["/gis/cache/invalidate/{layer_name}"].contains("post"));
}

}  // namespace
