#pragma once
// The host application: mounted routes, request dispatch and the API description.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "host/http/cors.hpp"
#include "host/http/path_template.hpp"
#include "host/http/router.hpp"

namespace host::metrics {
class recorder;
}

namespace host::http {

// How the host opens and ends the per-request database session of routes that declare one.
struct session_provider {
  std::function<std::shared_ptr<database::session>()> open;  // type-erased: the http layer never sees a session's definition
  std::function<boost::asio::awaitable<void>(database::session&)> close;
};

struct route_match {
  const route* matched = nullptr;
  http::path_values path_values;
};
struct no_route {};                               // 404
struct wrong_method {};                           // 405
struct slash_redirect { std::string location; };  // 307 to the same path with/without the final "/"
using resolution = std::variant<route_match, no_route, wrong_method, slash_redirect>;

class app {
 public:
  app(std::string title, std::string version);

  void mount(const router& r);
  void set_session_provider(session_provider provider) { sessions_ = std::move(provider); }
  void set_cors(cors_policy policy) { cors_ = std::move(policy); }
  // The token `who` routes require; an empty one leaves them open.
  void require_bearer(access who, std::string token);
  // The service's public URL (parse_public_url): pages under it may call admin routes from a
  // browser. Empty: none configured.
  void set_public_url(std::string_view url);
  // Counts every answer by route, method and status, with its latency (none: not counted).
  void set_metrics(metrics::recorder* recorder) { metrics_ = recorder; }
  // One "access" log line per answer: method, path, status, bytes, milliseconds, cache level.
  void set_access_log(bool on) { access_log_ = on; }

  // Pure routing: which route answers `method` on `path` (no query string).
  resolution resolve(boost::beast::http::verb method, std::string_view path) const;

  // Whether the route that answers `method` on `target` declares a request body; the server
  // reads no more than a small body for the others.
  bool reads_body(boost::beast::http::verb method, std::string_view target) const;

  // Routes, converts parameters, runs the handler and turns every outcome into a response.
  // The handler may take the request's body (request_context::take_body).
  boost::asio::awaitable<response> dispatch(http_request& request) const;

  // What the head alone decides, for a client that waits before sending its body: the answer
  // dispatch would give without reading it (400, 404, 405, 401, 403, 422), counted and logged
  // like any answer, or none when the body is wanted.
  std::optional<response> refuse_before_body(const http_request_header& head) const;

  // Completes an answer the server gives in place of dispatch (a malformed request, a limit):
  // CORS headers, counted under no route, logged. `head` is null when not even the request
  // line could be read.
  void refused(const http_request_header* head, response& r, std::chrono::steady_clock::duration took) const;

  nlohmann::ordered_json openapi() const;
  const std::vector<route>& routes() const { return routes_; }

 private:
  boost::asio::awaitable<response> answer(http_request& request, std::string_view path, std::string_view query,
                                          std::size_t& route_index) const;
  response preflight(const http_request& request, std::string_view path, std::size_t& route_index) const;
  std::optional<response> refuse_caller(const route& r, const http_request_header& request) const;
  // CORS headers, metrics and the access log of an answer.
  void finish(const http_request_header& head, std::string_view path, std::size_t route_index, response& r,
              std::chrono::steady_clock::duration took) const;

  std::string title_;
  std::string version_;
  std::vector<route> routes_;
  session_provider sessions_;
  cors_policy cors_;
  std::string admin_token_, metrics_token_;
  std::string public_origin_;  // as a browser sends it in Origin; empty: no public URL
  metrics::recorder* metrics_ = nullptr;
  bool access_log_ = false;
};

// The path-and-query of a request target: the target itself when it starts with "/", the part
// after the authority of an absolute URL ("http://host/path?q"), or none for anything else.
std::optional<std::string_view> origin_form(std::string_view target);

// Query string to (name, value) pairs, percent-decoded; later duplicates win when read.
std::vector<std::pair<std::string, std::string>> parse_query(std::string_view query);

}  // namespace host::http

namespace host::http {

// GET /openapi.json: the API description of every route mounted on `application`.
router api_description_router(const app& application);

}  // namespace host::http
