// Who may call what: cross-origin reads, preflights, bearer tokens on protected routes, and
// the proxy headers behind absolute URLs.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "host/config.hpp"
#include "host/http/app.hpp"
#include "host/http/bearer.hpp"
#include "host/http/cors.hpp"
#include "host/http/probes.hpp"
#include "host/http/public_url.hpp"

namespace {
using namespace host::http;
using boost::beast::http::verb;
namespace asio = boost::asio;

// Counts how often a handler ran, so a refusal can be shown to have run nothing.
struct probe_app {
  int purges = 0;
  app a{"test", "1"};
  probe_app(cors_policy cors, std::string admin_token) {
    router r("/gis");
    r.add({.path = "/{layer_name}/{z}/{x}/{y}.pbf",
           .name = "xyz",
           .params = {path_param("layer_name"), path_param("z", param_type::integer), path_param("x", param_type::integer),
                      path_param("y", param_type::integer)}},
          [](request_context&) -> asio::awaitable<response> { co_return raw_response("tile", "application/x-test"); });
    r.add({.method = verb::post,
           .path = "/cache/invalidate/{layer_name}",
           .name = "invalidate",
           .params = {path_param("layer_name")},
           .who = access::admin},
          [this](request_context&) -> asio::awaitable<response> {
            ++purges;
            co_return raw_response("purged", "text/plain");
          });
    a.mount(r);
    a.set_cors(std::move(cors));
    a.require_bearer(access::admin, std::move(admin_token));
  }

  response send(verb method, std::string target, std::vector<std::pair<std::string, std::string>> headers = {}) {
    http_request req{method, target, 11};
    req.set(boost::beast::http::field::host, "tiles.local:8000");
    for (auto& [name, value] : headers) req.set(name, value);
    asio::io_context io;
    auto f = asio::co_spawn(io, a.dispatch(req), asio::use_future);
    io.run();
    return f.get();
  }
};

std::optional<std::string> header(const response& r, std::string_view name) {
  for (const auto& [n, v] : r.headers)
    if (boost::beast::iequals(n.view(), name)) return v.str();
  return std::nullopt;
}

const std::string LISTED = "https://maps.example.org";

TEST(CorsPolicy, ParsesStarOrAListOfExactOrigins) {
  EXPECT_TRUE(parse_cors_origins("*").any_origin);
  const auto list = parse_cors_origins(" https://maps.example.org , http://localhost:5173 ");
  EXPECT_FALSE(list.any_origin);
  EXPECT_EQ(list.origins, (std::vector<std::string>{"https://maps.example.org", "http://localhost:5173"}));
  // Entries a browser could never send, and mixtures with "*", are refused at the start.
  for (const char* bad : {"", "maps.example.org", "https://maps.example.org/", "https://Maps.example.org",
                          "ftp://x.org", "*,https://a.org", "https://a.org\r\nX: y"})
    EXPECT_THROW(parse_cors_origins(bad), std::invalid_argument) << bad;
}

TEST(CorsAnswers, ListedOriginIsEchoedWithVaryNextToTheEncodingOne) {
  probe_app p(parse_cors_origins(LISTED), "");
  auto ok = p.send(verb::get, "/gis/plots/1/0/0.pbf", {{"Origin", LISTED}});
  EXPECT_EQ(header(ok, "Access-Control-Allow-Origin"), LISTED);
  EXPECT_NE(header(ok, "Access-Control-Expose-Headers")->find("X-Cache"), std::string::npos);
  EXPECT_EQ(header(ok, "Vary"), "Origin");
  auto other = p.send(verb::get, "/gis/plots/1/0/0.pbf", {{"Origin", "https://maps.example.org.evil.net"}});
  EXPECT_EQ(other.status, 200u);  // still answered; the browser withholds it from the page
  EXPECT_FALSE(header(other, "Access-Control-Allow-Origin"));
  EXPECT_EQ(header(other, "Vary"), "Origin");

  response r = raw_response("x", "text/plain");
  r.header("Vary", "Accept-Encoding");
  add_vary(r, "Origin");
  EXPECT_EQ(header(r, "Vary"), "Accept-Encoding, Origin");
}

TEST(CorsAnswers, PreflightForEveryRouteAndOnlyListedOriginsForThePurge) {
  probe_app star(parse_cors_origins("*"), "");
  auto tile = star.send(verb::options, "/gis/plots/1/0/0.pbf",
                        {{"Origin", "https://a.example"}, {"Access-Control-Request-Method", "GET"}});
  EXPECT_EQ(tile.status, 204u);
  EXPECT_EQ(header(tile, "Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(header(tile, "Access-Control-Allow-Methods"), "GET, HEAD, OPTIONS");
  EXPECT_NE(header(tile, "Access-Control-Allow-Headers")->find("Authorization"), std::string::npos);

  auto purge = star.send(verb::options, "/gis/cache/invalidate/plots",
                         {{"Origin", "https://a.example"}, {"Access-Control-Request-Method", "POST"}});
  EXPECT_EQ(purge.status, 403u);
  EXPECT_FALSE(header(purge, "Access-Control-Allow-Origin"));

  probe_app listed(parse_cors_origins(LISTED), "");
  auto allowed = listed.send(verb::options, "/gis/cache/invalidate/plots",
                             {{"Origin", LISTED}, {"Access-Control-Request-Method", "POST"}});
  EXPECT_EQ(allowed.status, 204u);
  EXPECT_EQ(header(allowed, "Access-Control-Allow-Origin"), LISTED);

  // Not a preflight: the methods of the path. Unknown paths and methods stay 404 and 405.
  auto plain = star.send(verb::options, "/gis/cache/invalidate/plots");
  EXPECT_EQ(plain.status, 204u);
  EXPECT_EQ(header(plain, "Allow"), "POST, OPTIONS");
  EXPECT_EQ(star.send(verb::options, "/nowhere").status, 404u);
  EXPECT_EQ(star.send(verb::options, "/gis/plots/1/0/0.pbf",
                      {{"Origin", "https://a.example"}, {"Access-Control-Request-Method", "DELETE"}})
                .status,
            405u);
  EXPECT_EQ(star.purges + listed.purges, 0);
}

TEST(ProtectedRoutes, TokenRequiredAndNothingRunsWithoutIt) {
  probe_app p(parse_cors_origins("*"), "s3cret-token");
  const auto without = p.send(verb::post, "/gis/cache/invalidate/plots");
  EXPECT_EQ(without.status, 401u);
  EXPECT_EQ(header(without, "WWW-Authenticate"), R"(Bearer realm="mapsvc")");
  const auto wrong = p.send(verb::post, "/gis/cache/invalidate/plots", {{"Authorization", "Bearer s3cret-tokeN"}});
  EXPECT_EQ(wrong.status, 401u);
  EXPECT_NE(header(wrong, "WWW-Authenticate")->find("invalid_token"), std::string::npos);
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots", {{"Authorization", "Basic s3cret-token"}}).status, 401u);
  EXPECT_EQ(p.purges, 0);
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots", {{"Authorization", "bearer  s3cret-token"}}).status, 200u);
  EXPECT_EQ(p.purges, 1);
  // Other routes need nothing.
  EXPECT_EQ(p.send(verb::get, "/gis/plots/1/0/0.pbf").status, 200u);
}

TEST(ProtectedRoutes, CrossSitePostIsRefusedBeforeItRunsEvenWhenOpen) {
  // A browser sends a form POST cross-site without a preflight: with "*" and no token it
  // would otherwise empty the cache from any web page the operator visits.
  probe_app p(parse_cors_origins("*"), "");
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", "https://evil.example"}}).status, 403u);
  // After a DNS rebinding the page's own name is the Host: that proves nothing.
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots",
                   {{"Host", "evil.example:8000"}, {"Origin", "http://evil.example:8000"}})
                .status,
            403u);
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", "http://tiles.local:8000"}}).status, 403u);
  EXPECT_EQ(p.purges, 0);
  EXPECT_EQ(p.send(verb::post, "/gis/cache/invalidate/plots").status, 200u);  // curl and scripts send no Origin
  EXPECT_EQ(p.purges, 1);
}

TEST(ProtectedRoutes, BrowsersPurgeFromConfiguredOriginsOrWithTheToken) {
  // The public URL's pages are ours, whatever Host says; its default port is not in Origin.
  probe_app pub(parse_cors_origins("*"), "");
  pub.a.set_public_url("https://Tiles.example.org:443/base");
  EXPECT_EQ(pub.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", "https://tiles.example.org"}}).status, 200u);
  EXPECT_EQ(pub.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", "http://tiles.example.org"}}).status, 403u);
  EXPECT_EQ(pub.purges, 1);

  // With neither a list nor a public URL, the token vouches for a browser.
  probe_app open_with_token(parse_cors_origins("*"), "s3cret-token");
  const std::pair<std::string, std::string> evil{"Origin", "http://evil.example:8000"};
  EXPECT_EQ(open_with_token.send(verb::post, "/gis/cache/invalidate/plots", {evil}).status, 401u);
  EXPECT_EQ(open_with_token.send(verb::post, "/gis/cache/invalidate/plots", {evil, {"Authorization", "Bearer s3cret-token"}})
                .status,
            200u);
  EXPECT_EQ(open_with_token.purges, 1);

  // Once origins are configured, only they may: a token in an unlisted page is still refused.
  probe_app listed(parse_cors_origins(LISTED), "s3cret-token");
  const std::pair<std::string, std::string> token{"Authorization", "Bearer s3cret-token"};
  EXPECT_EQ(listed.send(verb::post, "/gis/cache/invalidate/plots", {evil, token}).status, 403u);
  EXPECT_EQ(listed.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", LISTED}}).status, 401u);
  EXPECT_EQ(listed.send(verb::post, "/gis/cache/invalidate/plots", {{"Origin", LISTED}, token}).status, 200u);
  EXPECT_EQ(listed.purges, 1);
}

// A client that waits before sending its body (Expect: 100-continue) is answered from the
// head alone when the answer is already known, and nothing runs.
TEST(ProtectedRoutes, TheHeadAloneRefusesWhatItCan) {
  probe_app p(parse_cors_origins(LISTED), "s3cret-token");
  const auto early = [&](verb method, std::string target, std::vector<std::pair<std::string, std::string>> fields = {}) {
    http_request_header h;
    h.method(method);
    h.target(target);
    h.version(11);
    for (const auto& [name, value] : fields) h.set(name, value);
    const auto refusal = p.a.refuse_before_body(h);
    return refusal ? refusal->status : 0u;
  };
  EXPECT_EQ(early(verb::post, "/nowhere"), 404u);
  EXPECT_EQ(early(verb::post, "/gis/plots/1/0/0.pbf"), 405u);
  EXPECT_EQ(early(verb::post, "/gis/cache/invalidate/plots"), 401u);
  EXPECT_EQ(early(verb::post, "/gis/cache/invalidate/plots", {{"Origin", "https://evil.example"}}), 403u);
  EXPECT_EQ(early(verb::get, "/gis/plots/1/x/0.pbf"), 422u);
  EXPECT_EQ(early(verb::post, "nowhere"), 400u);
  // Wanted: the body may come.
  EXPECT_EQ(early(verb::post, "/gis/cache/invalidate/plots", {{"Authorization", "Bearer s3cret-token"}}), 0u);
  EXPECT_EQ(early(verb::get, "/gis/plots/1/0/0.pbf"), 0u);
  EXPECT_EQ(early(verb::post, "/gis/cache/invalidate/plots/"), 0u);  // a redirect, answered after the body
  EXPECT_EQ(p.purges, 0);

  // The refusal carries what dispatch would add: a listed page can read why it was refused.
  http_request_header h;
  h.method(verb::post);
  h.target("/gis/cache/invalidate/plots");
  h.set("Origin", LISTED);
  const auto refusal = p.a.refuse_before_body(h);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(header(*refusal, "Access-Control-Allow-Origin"), LISTED);
  EXPECT_TRUE(header(*refusal, "WWW-Authenticate"));
}

TEST(Probes, ReadyOnlyWhenNotDrainingAndTheDatabaseAnswers) {
  bool draining = false, database = true;
  int probes = 0;
  app a("test", "1");
  a.mount(probes_router({.draining = [&] { return draining; },
                         .database_reachable = [&]() -> asio::awaitable<bool> {
                           ++probes;
                           co_return database;
                         }}));
  const auto status = [&](const char* path) {
    http_request req{verb::get, path, 11};
    asio::io_context io;
    auto f = asio::co_spawn(io, a.dispatch(req), asio::use_future);
    io.run();
    return f.get().status;
  };
  EXPECT_EQ(status("/readyz"), 200u);
  database = false;
  EXPECT_EQ(status("/readyz"), 503u);
  EXPECT_EQ(status("/livez"), 200u);
  draining = true;
  database = true;
  EXPECT_EQ(status("/readyz"), 503u);
  EXPECT_EQ(probes, 2);  // a draining worker does not even ask the database
}

TEST(BearerTokens, ExactMatchOnly) {
  EXPECT_TRUE(bearer_matches("Bearer abc", "abc"));
  EXPECT_TRUE(bearer_matches("BEARER abc ", "abc"));
  for (const char* presented : {"Bearer ab", "Bearer abcd", "Bearer", "Bearer ", "Bearerabc", "Token abc", "", "Bearer aBc"})
    EXPECT_FALSE(bearer_matches(presented, "abc")) << presented;
  EXPECT_FALSE(bearer_matches("Bearer ", ""));  // an unset token never matches
}

TEST(PublicAddress, ConfiguredUrlIsCheckedAndHeadersAreTakenInOrder) {
  EXPECT_EQ(parse_public_url("https://tiles.example.org/base/"), "https://tiles.example.org/base");
  for (const char* bad : {"tiles.example.org", "https://", "https://a b", "https://a.org/x?y", "javascript://x"})
    EXPECT_THROW(parse_public_url(bad), std::invalid_argument) << bad;

  address_headers h;
  h.host = "svc:8000";
  EXPECT_EQ(base_url_from_headers(h), "http://svc:8000");
  h.x_forwarded_host = "maps.example.org, proxy.internal";
  h.x_forwarded_proto = "https";
  EXPECT_EQ(base_url_from_headers(h), "https://maps.example.org");
  h.forwarded = R"(for=1.2.3.4;proto=http;host="edge.example.org:8443", for=5.6.7.8)";
  EXPECT_EQ(base_url_from_headers(h), "http://edge.example.org:8443");

  EXPECT_EQ(origin_of_url("https://Tiles.Example.org:443/base"), "https://tiles.example.org");
  EXPECT_EQ(origin_of_url("http://tiles.example.org:80"), "http://tiles.example.org");
  EXPECT_EQ(origin_of_url("http://tiles.example.org:8080/x"), "http://tiles.example.org:8080");
  EXPECT_EQ(origin_of_url("https://[::1]:8443"), "https://[::1]:8443");
}

TEST(PublicAddress, HostileHeaderValuesAreIgnored) {
  address_headers h;
  h.host = "svc:8000";
  for (const char* host : {"evil.org/path", "evil.org\"><script>", "a@b", "x:99999999", "x:99999", "x:65536", "x:0",
                           "[::1]:70000", "[::1", ""}) {
    h.x_forwarded_host = host;
    EXPECT_EQ(base_url_from_headers(h), "http://svc:8000") << host;
  }
  h.x_forwarded_host.reset();
  h.x_forwarded_proto = "javascript";
  EXPECT_EQ(base_url_from_headers(h), "http://svc:8000");
  h.forwarded = "host=evil.com:99999";
  EXPECT_EQ(base_url_from_headers(h), "http://svc:8000");
  h.x_forwarded_host = "edge.example.org:65535";
  EXPECT_EQ(base_url_from_headers(h), "http://edge.example.org:65535");
  h.x_forwarded_host.reset();
  h.x_forwarded_proto.reset();
  const std::string huge(5000, 'a');
  h.forwarded = "host=" + huge;
  EXPECT_EQ(base_url_from_headers(h), "http://svc:8000");
  h.host = "bad host";
  EXPECT_EQ(base_url_from_headers(h), std::nullopt);
  EXPECT_TRUE(valid_url_host("[2001:db8::1]:443"));
}

TEST(Configuration, AccessSettingsAreCheckedAtTheStart) {
  const auto env = [](const std::string& name) -> std::optional<std::string> {
    if (name == "MAPSVC_CORS_ORIGINS") return "https://maps.example.org";
    if (name == "MAPSVC_ADMIN_TOKEN") return "abc.DEF-123";
    if (name == "MAPSVC_ACCESS_LOG") return "1";
    return std::nullopt;
  };
  const auto c = host::load_config({"--public-url", "https://tiles.example.org/"}, env);
  EXPECT_EQ(c.cors_origins, "https://maps.example.org");
  EXPECT_EQ(c.admin_token, "abc.DEF-123");
  EXPECT_TRUE(c.access_log);
  EXPECT_EQ(c.public_url, "https://tiles.example.org");
  EXPECT_EQ(host::load_config({}, [](const std::string&) { return std::optional<std::string>(); }).cors_origins, "*");
  const auto bad = [](const char* var, const char* value) {
    return [=](const std::string& name) { return name == var ? std::optional<std::string>(value) : std::nullopt; };
  };
  EXPECT_THROW(host::load_config({}, bad("MAPSVC_ADMIN_TOKEN", "has space")), std::invalid_argument);
  EXPECT_THROW(host::load_config({}, bad("MAPSVC_CORS_ORIGINS", "maps.example.org")), std::invalid_argument);
  EXPECT_THROW(host::load_config({}, bad("MAPSVC_ACCESS_LOG", "maybe")), std::invalid_argument);
}

}  // namespace
