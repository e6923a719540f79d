#include "host/http/cors.hpp"

#include <algorithm>
#include <stdexcept>

namespace host::http {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '[' || c == ']' || c == ':';
}

// Browsers serialise origins in lower case without a default port or a path; a listed entry
// that could never equal what a browser sends is refused rather than silently useless.
bool valid_origin(std::string_view o) {
  std::string_view rest;
  if (o.starts_with("https://")) rest = o.substr(8);
  else if (o.starts_with("http://")) rest = o.substr(7);
  else return false;
  if (rest.empty() || rest.size() > 261) return false;
  return std::all_of(rest.begin(), rest.end(), host_char);
}

}  // namespace

cors_policy parse_cors_origins(std::string_view text) {
  cors_policy p;
  text = trim(text);
  if (text == "*") return p;
  p.any_origin = false;
  while (true) {
    const auto comma = text.find(',');
    const auto entry = trim(text.substr(0, comma));
    if (!entry.empty()) {
      if (entry == "*") throw std::invalid_argument("'*' cannot be combined with listed origins");
      if (!valid_origin(entry))
        throw std::invalid_argument("'" + std::string(entry) +
                                    "' is not an origin (lower-case http(s)://host[:port], no path)");
      p.origins.emplace_back(entry);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (p.origins.empty()) throw std::invalid_argument("no origin listed (use * for every origin)");
  return p;
}

std::optional<std::string_view> allowed_origin(const cors_policy& policy, std::string_view origin, bool restricted) {
  for (const auto& listed : policy.origins)
    if (listed == origin) return listed;
  if (policy.any_origin && !restricted) return "*";
  return std::nullopt;
}

void add_vary(response& r, std::string_view token) {
  for (auto& [name, value] : r.headers) {
    if (name.size() != 4 || (name[0] | 0x20) != 'v' || (name[1] | 0x20) != 'a' || (name[2] | 0x20) != 'r' ||
        (name[3] | 0x20) != 'y')
      continue;
    value += ", ";
    value += token;
    return;
  }
  r.header("Vary", std::string(token));
}

void add_cors_headers(response& r, const cors_policy& policy, std::optional<std::string_view> origin, bool restricted) {
  // With a list (and on restricted routes, where "*" never applies) the answer differs by
  // origin, so caches must keep one copy per origin.
  if (!policy.any_origin || restricted) add_vary(r, "Origin");
  const auto allowed = origin ? allowed_origin(policy, *origin, restricted)
                              : (policy.any_origin && !restricted ? std::optional<std::string_view>("*") : std::nullopt);
  if (!allowed) return;
  r.header("Access-Control-Allow-Origin", header_text::lasting(*allowed));
  r.header("Access-Control-Expose-Headers", header_text::lasting(CORS_EXPOSED_HEADERS));
}

}  // namespace host::http
