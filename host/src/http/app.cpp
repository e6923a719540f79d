#include "host/http/app.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include <fmt/format.h>

#include "host/cancellation.hpp"
#include "host/helpers/logging.hpp"
#include "host/http/bearer.hpp"
#include "host/http/errors.hpp"
#include "host/metrics/host_metrics.hpp"
#include "host/http/negotiation.hpp"
#include "host/http/public_url.hpp"
#include "header_lists.hpp"

namespace host::http {
namespace beast_http = boost::beast::http;

namespace {

std::optional<std::string_view> header_value(const http_request_header& request, beast_http::field name) {
  const auto it = request.find(name);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

bool better(const route& a, const route& b) { return a.full_path.specificity() > b.full_path.specificity(); }

nlohmann::ordered_json validation_body(const std::vector<param_problem>& problems) {
  auto detail = nlohmann::ordered_json::array();
  for (const auto& p : problems) {
    nlohmann::ordered_json item;
    item["type"] = p.type;
    item["loc"] = {std::string(to_string(p.in)), p.name};
    item["msg"] = p.message;
    item["input"] = p.input ? nlohmann::ordered_json(*p.input) : nlohmann::ordered_json();
    detail.push_back(std::move(item));
  }
  nlohmann::ordered_json body;
  body["detail"] = std::move(detail);
  return body;
}

// Converts path values and the query string to the route's declared parameters.
std::vector<param_problem> convert_all(const route& r, const route_match& m, std::string_view query,
                                       request_params& out) {
  std::vector<param_problem> problems;
  const auto query_values = parse_query(query);
  out.reserve(r.declared.params.size());
  for (const auto& param : r.declared.params) {
    const std::string* raw = nullptr;
    if (param.in == param_in::path) {
      for (const auto& [name, value] : m.path_values)
        if (name == param.name) raw = &value;
    } else {
      for (const auto& [name, value] : query_values)
        if (name == param.name) raw = &value;
    }
    if (!raw) {
      if (param.default_value) {
        out.set(param.name, *param.default_value);
      } else {
        problems.push_back({"missing", param.in, param.name, "Field required", std::nullopt});
      }
      continue;
    }
    auto converted = convert_param(param, *raw);
    if (auto* value = std::get_if<param_value>(&converted)) {
      out.set(param.name, std::move(*value));
    } else {
      problems.push_back(std::move(std::get<param_problem>(converted)));
    }
  }
  return problems;
}

// Request text in a log line: bytes outside printable ASCII are escaped and the length is
// bounded, so that a client cannot forge lines or flood the log.
std::string loggable(std::string_view text) {
  constexpr std::size_t most = 512;
  std::string out;
  for (const char c : text.substr(0, most)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7e || c == '"' || c == '\\') out += fmt::format("%{:02X}", u);
    else out += c;
  }
  if (text.size() > most) out += "...";
  return out;
}

void log_access(std::string_view method, std::string_view path, const response& r,
                std::chrono::steady_clock::duration took) {
  static const auto log = helpers::get_logger("access");
  log->info("{} {} {} {} {:.1f} {}", method.empty() ? "-" : loggable(method), path.empty() ? "-" : loggable(path),
            r.status, r.status == 204 || r.status == 304 ? 0 : r.payload().size(),
            std::chrono::duration<double, std::milli>(took).count(), r.cache_note.empty() ? "-" : r.cache_note);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parse_query(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (!pair.empty()) {
      const auto eq = pair.find('=');
      out.emplace_back(percent_decode(pair.substr(0, eq), true),
                       eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return out;
}

app::app(std::string title, std::string version) : title_(std::move(title)), version_(std::move(version)) {}

void app::mount(const router& r) {
  for (const auto& rt : r.routes()) routes_.push_back(rt);
}

resolution app::resolve(beast_http::verb method, std::string_view path) const {
  // GET routes answer HEAD too.
  const auto effective = method == beast_http::verb::head ? beast_http::verb::get : method;
  const route* best = nullptr;
  route_match best_match;
  bool path_known = false;
  const auto parts = split_path(path);
  for (const auto& r : routes_) {
    auto values = r.full_path.match(path, parts);
    if (!values) continue;
    path_known = true;
    if (r.declared.method != effective) continue;
    if (!best || better(r, *best)) {
      best = &r;
      best_match.path_values = std::move(*values);
    }
  }
  if (best) {
    best_match.matched = best;
    return best_match;
  }
  if (path_known) return wrong_method{};
  if (!path.empty() && path != "/") {
    const std::string other = path.back() == '/' ? std::string(path.substr(0, path.size() - 1)) : std::string(path) + "/";
    for (const auto& r : routes_)
      if (r.declared.method == effective && r.full_path.match(other)) return slash_redirect{other};
  }
  return no_route{};
}

std::optional<std::string_view> origin_form(std::string_view target) {
  if (!target.empty() && target.front() == '/') return target;
  // A proxy may send the absolute form; the path is what follows the authority.
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!detail::iequals(target.substr(0, scheme.size()), scheme)) continue;
    target.remove_prefix(scheme.size());
    const auto slash = target.find_first_of("/?");
    if (slash == std::string_view::npos) return "/";
    target.remove_prefix(slash);
    if (target.front() == '?') return std::nullopt;  // "http://host?x": no path to answer
    return target;
  }
  return std::nullopt;
}

bool app::reads_body(beast_http::verb method, std::string_view target) const {
  const auto origin = origin_form(target);
  if (!origin) return false;
  const auto resolved = resolve(method, origin->substr(0, origin->find('?')));
  const auto* m = std::get_if<route_match>(&resolved);
  return m && !m->matched->declared.request_body.empty();
}

void app::require_bearer(access who, std::string token) {
  if (who == access::admin) admin_token_ = std::move(token);
  if (who == access::metrics) metrics_token_ = std::move(token);
}

void app::set_public_url(std::string_view url) { public_origin_ = url.empty() ? std::string() : origin_of_url(url); }

boost::asio::awaitable<response> app::dispatch(http_request& request) const {
  const auto started = std::chrono::steady_clock::now();
  std::size_t route_index = metrics::MAX_ROUTES;
  const auto origin = origin_form(std::string_view(request.target().data(), request.target().size()));
  std::string_view path;
  response result;
  if (!origin) {
    result = detail_response(400, "Bad request");
  } else {
    const std::string_view target = *origin;
    const auto question = target.find('?');
    path = target.substr(0, question);
    const std::string_view query = question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
    if (request.method() == beast_http::verb::options) {
      result = preflight(request, path, route_index);
    } else {
      result = co_await answer(request, path, query, route_index);
    }
  }
  finish(request, path, route_index, result, std::chrono::steady_clock::now() - started);
  co_return result;
}

void app::finish(const http_request_header& head, std::string_view path, std::size_t route_index, response& r,
                 std::chrono::steady_clock::duration took) const {
  const route* matched = route_index < routes_.size() ? &routes_[route_index] : nullptr;
  if (head.method() != beast_http::verb::options)
    add_cors_headers(r, cors_, header_value(head, beast_http::field::origin),
                     matched && matched->declared.who == access::admin);
  const std::string_view method(head.method_string().data(), head.method_string().size());
  if (metrics_) metrics_->request(route_index, metrics::method_of(method), r.status, took);
  if (access_log_) log_access(method, path, r, took);
}

void app::refused(const http_request_header* head, response& r, std::chrono::steady_clock::duration took) const {
  if (!head) {
    // Not even the request line could be read.
    if (metrics_) metrics_->request(metrics::MAX_ROUTES, metrics::method::other, r.status, took);
    if (access_log_) log_access({}, {}, r, took);
    return;
  }
  const std::string_view target(head->target().data(), head->target().size());
  const auto origin = origin_form(target);
  finish(*head, origin ? origin->substr(0, origin->find('?')) : target, metrics::MAX_ROUTES, r, took);
}

std::optional<response> app::refuse_before_body(const http_request_header& head) const {
  const auto started = std::chrono::steady_clock::now();
  if (head.method() == beast_http::verb::options) return std::nullopt;
  const auto origin = origin_form(std::string_view(head.target().data(), head.target().size()));
  std::string_view path;
  std::size_t route_index = metrics::MAX_ROUTES;
  std::optional<response> refusal;
  if (!origin) {
    refusal = detail_response(400, "Bad request");
  } else {
    const auto question = origin->find('?');
    path = origin->substr(0, question);
    const auto resolved = resolve(head.method(), path);
    if (std::holds_alternative<no_route>(resolved)) refusal = detail_response(404, "Not Found");
    if (std::holds_alternative<wrong_method>(resolved)) refusal = detail_response(405, "Method Not Allowed");
    if (const auto* m = std::get_if<route_match>(&resolved)) {
      route_index = static_cast<std::size_t>(m->matched - routes_.data());
      refusal = refuse_caller(*m->matched, head);
      request_params params;
      const auto query = question == std::string_view::npos ? std::string_view{} : origin->substr(question + 1);
      if (!refusal)
        if (auto problems = convert_all(*m->matched, *m, query, params); !problems.empty())
          refusal = json_response(validation_body(problems), 422);
    }
  }
  if (refusal) finish(head, path, route_index, *refusal, std::chrono::steady_clock::now() - started);
  return refusal;
}

response app::preflight(const http_request& request, std::string_view path, std::size_t& route_index) const {
  const auto parts = split_path(path);
  std::vector<beast_http::verb> methods;
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    if (!routes_[i].full_path.match(path, parts)) continue;
    if (route_index == metrics::MAX_ROUTES) route_index = i;
    if (std::find(methods.begin(), methods.end(), routes_[i].declared.method) == methods.end())
      methods.push_back(routes_[i].declared.method);
  }
  if (methods.empty()) return detail_response(404, "Not Found");
  std::string allow;
  for (const auto m : methods) {
    allow += std::string(beast_http::to_string(m)) + ", ";
    if (m == beast_http::verb::get) allow += "HEAD, ";
  }
  allow += "OPTIONS";

  const auto origin = header_value(request, beast_http::field::origin);
  const auto wanted = header_value(request, beast_http::field::access_control_request_method);
  if (!origin || !wanted) {
    response r = empty_response(204);
    r.header("Allow", allow);
    return r;
  }
  auto verb = beast_http::string_to_verb(*wanted);
  if (verb == beast_http::verb::head) verb = beast_http::verb::get;
  const route* target = nullptr;
  for (const auto& r : routes_)
    if (r.declared.method == verb && r.full_path.match(path, parts)) target = &r;
  if (!target) {
    response r = detail_response(405, "Method Not Allowed");
    r.header("Allow", allow);
    return r;
  }
  route_index = static_cast<std::size_t>(target - routes_.data());
  const bool restricted = target->declared.who == access::admin;
  const auto allowed = allowed_origin(cors_, *origin, restricted);
  response r = allowed ? empty_response(204) : detail_response(403, "Origin not allowed");
  if (!cors_.any_origin || restricted) add_vary(r, "Origin");
  if (!allowed) return r;
  r.header("Access-Control-Allow-Origin", header_text::lasting(*allowed));
  r.header("Access-Control-Allow-Methods", allow);
  r.header("Access-Control-Allow-Headers", header_text::lasting(CORS_ALLOWED_HEADERS));
  r.header("Access-Control-Max-Age", "600");
  return r;
}

std::optional<response> app::refuse_caller(const route& r, const http_request_header& request) const {
  if (r.declared.who == access::admin) {
    // A browser sends a plain cross-site POST without asking first: refuse it here, before it
    // deletes anything. Host cannot tell this service's own pages apart: after a DNS rebinding
    // a page of another site reaches us under its own name. So only configured origins count.
    if (const auto origin = header_value(request, beast_http::field::origin)) {
      const bool listed = allowed_origin(cors_, *origin, true).has_value();
      const bool own = !public_origin_.empty() && *origin == public_origin_;
      const bool configured = !cors_.any_origin || !public_origin_.empty();
      // With neither a list nor a public URL, the token alone vouches for a browser.
      if (!listed && !own && (configured || admin_token_.empty())) return detail_response(403, "Origin not allowed");
    }
  }
  const std::string& token = r.declared.who == access::admin     ? admin_token_
                             : r.declared.who == access::metrics ? metrics_token_
                                                                 : std::string();
  if (token.empty()) return std::nullopt;
  const auto authorization = header_value(request, beast_http::field::authorization);
  if (authorization && bearer_matches(*authorization, token)) return std::nullopt;
  response refusal = detail_response(401, "Not authenticated");
  if (authorization) refusal.header("WWW-Authenticate", R"(Bearer realm="mapsvc", error="invalid_token")");
  else refusal.header("WWW-Authenticate", R"(Bearer realm="mapsvc")");
  return refusal;
}

boost::asio::awaitable<response> app::answer(http_request& request, std::string_view path, std::string_view query,
                                             std::size_t& route_index) const {
  auto resolved = resolve(request.method(), path);
  if (std::holds_alternative<no_route>(resolved)) co_return detail_response(404, "Not Found");
  if (std::holds_alternative<wrong_method>(resolved)) co_return detail_response(405, "Method Not Allowed");
  if (auto* redirect = std::get_if<slash_redirect>(&resolved)) {
    response r = empty_response(307);
    r.header("Location", query.empty() ? redirect->location : redirect->location + "?" + std::string(query));
    co_return r;
  }

  const auto& m = std::get<route_match>(resolved);
  const route& r = *m.matched;
  route_index = static_cast<std::size_t>(&r - routes_.data());
  if (auto refusal = refuse_caller(r, request)) co_return std::move(*refusal);
  request_params params;
  if (auto problems = convert_all(r, m, query, params); !problems.empty())
    co_return json_response(validation_body(problems), 422);

  std::shared_ptr<database::session> session;
  if (r.declared.uses_db && sessions_.open) session = sessions_.open();
  request_context ctx{request, params, session.get()};

  response answer;
  std::exception_ptr unexpected;
  try {
    answer = co_await r.fn(ctx);
  } catch (const http_error& e) {
    answer = detail_response(e.status(), e.detail());
  } catch (...) {
    unexpected = std::current_exception();
  }
  if (unexpected && is_cancellation(unexpected)) {
    // The request itself was cancelled (shutdown): no answer; the session is discarded by
    // its destructor, since nothing may be awaited any more.
    std::rethrow_exception(unexpected);
  }
  if (unexpected) {
    try {
      std::rethrow_exception(unexpected);
    } catch (const std::exception& e) {
      helpers::get_logger("host.http")->error("Unhandled error in {} ({} {}): {}", r.declared.name,
                                              std::string(request.method_string()), std::string(path), e.what());
    } catch (...) {
      helpers::get_logger("host.http")->error("Unhandled non-standard error in {}", r.declared.name);
    }
    answer = detail_response(500, "Internal Server Error");
  }

  negotiate(answer, header_value(request, beast_http::field::if_none_match),
            header_value(request, beast_http::field::accept_encoding).value_or(std::string_view{}));

  if (session) {
    try {
      co_await sessions_.close(*session);
    } catch (const std::exception& e) {
      helpers::get_logger("host.http")->warn("Closing the database session of {} failed: {}", r.declared.name, e.what());
    }
  }
  co_return answer;
}

}  // namespace host::http
