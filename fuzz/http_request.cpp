// One connection's bytes, walked request by request as the server walks them: the parser with
// the server's limits, the framing checks once the header is in, then routing and parameter
// conversion through an app whose routes are declared like the service's own. The handlers
// are stubs that read their parameters, so no database or Redis is needed.
//
// Besides crashes and sanitizer reports, a request is a finding when
// - dispatch throws, or answers 500 (a declared parameter the handler could not read);
// - the framing checks accept a Transfer-Encoding the parser does not read as chunked (the
//   body would then be taken for the next request, which is how requests are smuggled);
// - an answer header holds CR, LF or NUL, a redirect leaves this host, a JSON answer is not
//   JSON, or a file from outside the web folder is served.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "host/http/app.hpp"
#include "host/http/framing.hpp"
#include "host/http/static_files.hpp"

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
using namespace host::http;

// The server's limits: bodies up to 16 MiB for routes that read one, 64 KiB for the others.
constexpr std::size_t header_limit = 16 * 1024;
constexpr std::size_t body_limit = 16 * 1024 * 1024;
constexpr std::size_t small_body_limit = 64 * 1024;
constexpr int max_requests_per_input = 16;

// Planted beside the web folder: no answer may ever carry it.
constexpr std::string_view secret = "f3c1e5a0-outside-the-web-root";

[[noreturn]] void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "finding: %s: %.*s\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 400)),
               detail.data());
  std::abort();
}

// The host's names for a route's and a parameter's declaration.
using declaration = decltype(route::declared);
using param_declaration = decltype(declaration::params)::value_type;

asio::awaitable<response> read_params(request_context& ctx, const std::vector<param_declaration>& declared,
                                      bool reads_accept) {
  for (const auto& p : declared) {
    switch (p.type) {
      case param_type::string:
      case param_type::path: (void)ctx.params.string(p.name); break;
      case param_type::integer: (void)ctx.params.integer_value(p.name); break;
      case param_type::number: (void)ctx.params.number(p.name); break;
      case param_type::boolean: (void)ctx.params.boolean(p.name); break;
    }
  }
  if (reads_accept) (void)ctx.header("Accept");
  co_return empty_response(204);
}

// A route with the real declaration and a handler that only reads what was declared.
void add_stub(router& r, declaration declared, bool reads_accept = false) {
  auto params = std::make_shared<const std::vector<param_declaration>>(declared.params);
  // The route's database session is never opened: the app has no session provider.
  declared.uses_db = false;
  r.add(std::move(declared), [params, reads_accept](request_context& ctx) { return read_params(ctx, *params, reads_accept); });
}

param_declaration at_least_zero(param_declaration p) {
  p.minimum = 0;
  return p;
}

router tile_routes() {
  router r("/gis", {"GIS Tiles"});
  add_stub(r, {.path = "/{layer_name}/{z}/{x}/{y}.pbf",
               .name = "get_tile_xyz",
               .params = {path_param("layer_name"), path_param("z", param_type::integer),
                          path_param("x", param_type::integer), path_param("y", param_type::integer)}});
  add_stub(r, {.path = "/{layer_name}/zoom-info/", .name = "get_layer_zoom_info", .params = {path_param("layer_name")}});
  add_stub(r, {.path = "/{layer_name}/bbox/",
               .name = "get_tile_bbox",
               .params = {path_param("layer_name"), query_param("minx", param_type::number, std::nullopt),
                          query_param("miny", param_type::number, std::nullopt),
                          query_param("maxx", param_type::number, std::nullopt),
                          query_param("maxy", param_type::number, std::nullopt),
                          query_param("srid", param_type::integer, integer{"4326", 4326}),
                          at_least_zero(query_param("max_features", param_type::integer, integer{"5000", 5000})),
                          query_param("simplify", param_type::boolean, true)}});
  add_stub(r, {.path = "/{layer_name}/", .name = "get_central_tile_info", .params = {path_param("layer_name")}});
  add_stub(r, {.path = "/layers/", .name = "get_available_layers"});
  add_stub(r, {.method = bhttp::verb::post,
               .path = "/cache/invalidate/{layer_name}",
               .name = "invalidate_cache_endpoint",
               .params = {path_param("layer_name")}});
  add_stub(r, {.path = "/health/", .name = "health_check"});
  return r;
}

router plan_routes() {
  router r("/plots", {"Survey plans"});
  add_stub(r,
           {.method = bhttp::verb::post,
            .path = "/plan",
            .name = "render_plan",
            .params = {query_param("format", param_type::string, std::string())},
            .request_body = "application/json"},
           true);
  add_stub(r, {.path = "/recommended-scale",
               .name = "recommended_scale",
               .params = {query_param("survey_width_m", param_type::number, std::nullopt),
                          query_param("survey_height_m", param_type::number, std::nullopt),
                          query_param("paper_width_mm", param_type::number, 210.0),
                          query_param("paper_height_mm", param_type::number, 297.0),
                          query_param("margin_mm", param_type::number, 10.0)}});
  add_stub(r,
           {.path = "/{plot_id}/plan",
            .name = "plot_plan",
            .params = {path_param("plot_id", param_type::integer), query_param("format", param_type::string, std::string())},
            .media_type = "image/png"},
           true);
  return r;
}

// A web folder of a few bytes per file, and a secret file beside it that must stay unreachable
// (also through a symbolic link inside the folder).
std::filesystem::path make_web_root() {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/mapsvc-fuzz-web-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) finding("cannot create the web folder");
  const fs::path base(made);
  const fs::path root = base / "web";
  fs::create_directories(root / "js");
  std::ofstream(root / "index.html") << "<html>index</html>";
  std::ofstream(root / "docs.html") << "<html>docs</html>";
  std::ofstream(root / "js" / "app.js") << "export {};";
  std::ofstream(base / "secret.txt") << secret;
  std::error_code ignored;
  fs::create_symlink(base / "secret.txt", root / "link.txt", ignored);
  static const fs::path made_here = base;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(made_here, ec);
  });
  return root;
}

struct service {
  app application{"mapsvc", "0.1.0"};
  asio::io_context io{1};

  service() {
    // Refusals and conversion problems are logged; a run of millions of inputs should not print them.
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
    spdlog::register_logger(std::make_shared<spdlog::logger>("host.http", std::make_shared<spdlog::sinks::null_sink_mt>()));
    application.mount(tile_routes());
    application.mount(plan_routes());
    application.mount(static_files_router(make_web_root()));
    application.mount(api_description_router(application));
  }
};

service& the_service() {
  static service s;
  return s;
}

// A browser takes "//host/...", "/\\host/..." and "scheme:..." to another site; a path, even a
// relative one, stays on this one.
bool leaves_host(std::string_view location) {
  if (location.size() >= 2 && (location[0] == '/' || location[0] == '\\') && (location[1] == '/' || location[1] == '\\'))
    return true;
  const auto colon = location.find(':');
  return colon != std::string_view::npos && colon < location.find_first_of("/?#");
}

bool has_header_breaks(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

void check_answer(const response& answer) {
  if (answer.status < 100 || answer.status > 599) finding("status out of range", std::to_string(answer.status));
  if (answer.status == 500) finding("500 from a stub handler", answer.body);
  if (has_header_breaks(answer.content_type)) finding("line break in Content-Type", answer.content_type);
  for (const auto& [name, value] : answer.headers) {
    if (has_header_breaks(name) || has_header_breaks(value)) finding("line break in a header", name.str() + ": " + value.str());
    if (name == "Location" && leaves_host(value)) finding("redirect off this host", value);
  }
  if (answer.content_type == "application/json" && !nlohmann::json::accept(answer.body))
    finding("JSON answer that is not JSON", answer.body);
  // JSON answers may quote the request (422 names the input); only a served file is a leak.
  if (answer.content_type != "application/json" && answer.body.find(secret) != std::string::npos)
    finding("file from outside the web folder served");
}

response dispatch_now(service& s, http_request& request) {
  std::optional<response> answer;
  std::exception_ptr failure;
  asio::co_spawn(s.io, s.application.dispatch(request), [&](std::exception_ptr e, response r) {
    failure = e;
    answer = std::move(r);
  });
  s.io.restart();
  s.io.run();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      finding("dispatch threw", e.what());
    } catch (...) {
      finding("dispatch threw a non-standard exception");
    }
  }
  if (!answer) finding("dispatch did not finish");
  return std::move(*answer);
}

// Feeds `input` to the parser until `done` says so; what the parser took is removed from
// `input`. At the end of the input the peer is taken to have closed the connection.
template <class Done>
beast::error_code feed(http_request_parser& parser, std::string_view& input, Done done) {
  beast::error_code ec;
  while (!done()) {
    if (input.empty()) {
      parser.put_eof(ec);
      return ec ? ec : bhttp::error::partial_message;
    }
    const std::size_t used = parser.put(asio::buffer(input.data(), input.size()), ec);
    input.remove_prefix(used);
    if (ec == bhttp::error::need_more) {
      // All that is left is too little for the next element: the same as a closed connection.
      if (used == 0) input = {};
      ec = {};
      continue;
    }
    if (ec) return ec;
  }
  return ec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  service& s = the_service();
  std::string_view input(reinterpret_cast<const char*>(data), size);

  for (int n = 0; n < max_requests_per_input && !input.empty(); ++n) {
    http_request_parser parser;
    parser.header_limit(static_cast<std::uint32_t>(header_limit));
    parser.body_limit(body_limit);

    if (feed(parser, input, [&] { return parser.is_header_done(); })) return 0;  // refused or closed
    if (const auto refusal = framing_refusal(parser.get().base())) {
      check_answer(*refusal);
      return 0;  // the connection closes after a refusal
    }
    const auto& header = parser.get().base();
    if (header.find(bhttp::field::transfer_encoding) != header.end() && !parser.chunked())
      finding("Transfer-Encoding accepted but the body is not read as chunked",
              std::string_view(header[bhttp::field::transfer_encoding]));
    const std::string_view target(header.target().data(), header.target().size());
    const auto limit = s.application.reads_body(header.method(), target) ? body_limit : small_body_limit;
    if (const auto declared = parser.content_length(); declared && *declared > limit) {
      check_answer(detail_response(413, "Request body too large"));
      return 0;
    }
    parser.body_limit(limit);

    if (feed(parser, input, [&] { return parser.is_done(); })) return 0;
    http_request& request = parser.get();
    check_answer(dispatch_now(s, request));
    if (!request.keep_alive()) return 0;
  }
  return 0;
}
