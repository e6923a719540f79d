#include "host/http/app.hpp"

#include <exception>

#include "host/cancellation.hpp"
#include "host/helpers/logging.hpp"
#include "host/http/errors.hpp"
#include "host/http/negotiation.hpp"

namespace host::http {
namespace beast_http = boost::beast::http;

namespace {

std::optional<std::string_view> header_value(const http_request& request, beast_http::field name) {
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
  // A proxy may send the absolute form; the path is what follows the authority.
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!target.starts_with(scheme)) continue;
    target.remove_prefix(scheme.size());
    const auto slash = target.find_first_of("/?");
    if (slash == std::string_view::npos) return "/";
    target.remove_prefix(slash);
    if (target.front() == '?') return std::nullopt;  // "http://host?x": no path to answer
    return target;
  }
  if (target.empty() || target.front() != '/') return std::nullopt;
  return target;
}

bool app::reads_body(beast_http::verb method, std::string_view target) const {
  const auto origin = origin_form(target);
  if (!origin) return false;
  const auto resolved = resolve(method, origin->substr(0, origin->find('?')));
  const auto* m = std::get_if<route_match>(&resolved);
  return m && !m->matched->declared.request_body.empty();
}

boost::asio::awaitable<response> app::dispatch(http_request& request) const {
  const auto origin = origin_form(std::string_view(request.target().data(), request.target().size()));
  if (!origin) co_return detail_response(400, "Bad request");
  const std::string_view target = *origin;
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query = question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);

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
