#include "host/http/public_url.hpp"

#include <stdexcept>

namespace host::http {
namespace {

constexpr std::size_t MOST_HOST = 261;     // a 253-character name, ":" and a port
constexpr std::size_t MOST_HEADER = 1024;  // proxy headers longer than this are not read

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view first_value(std::string_view list) { return trim(list.substr(0, list.find(','))); }

std::optional<std::string> scheme_of(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) c = static_cast<char>(c | 0x20);
  if (s.size() > 5 || (lower != "http" && lower != "https")) return std::nullopt;
  return lower;
}

// A port a client can connect to: 1-65535.
bool port_ok(std::string_view p) {
  if (p.empty() || p.size() > 5) return false;
  unsigned value = 0;
  for (const char c : p) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

bool equals_lower(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != lower[i]) return false;
  return true;
}

}  // namespace

bool valid_url_host(std::string_view h) noexcept {
  if (h.empty() || h.size() > MOST_HOST) return false;
  std::string_view name = h;
  if (h.front() == '[') {
    const auto close = h.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    for (const char c : h.substr(1, close - 1)) {
      const bool ok = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') || c == ':' || c == '.';
      if (!ok) return false;
    }
    const auto rest = h.substr(close + 1);
    return rest.empty() || (rest.front() == ':' && port_ok(rest.substr(1)));
  }
  if (const auto colon = h.find(':'); colon != std::string_view::npos) {
    if (!port_ok(h.substr(colon + 1))) return false;
    name = h.substr(0, colon);
  }
  if (name.empty()) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string parse_public_url(std::string_view text) {
  const auto bad = [&] {
    return std::invalid_argument("'" + std::string(text) + "' is not an http(s)://host[:port][/path] URL");
  };
  std::string_view rest;
  std::string scheme;
  if (text.starts_with("https://")) scheme = "https", rest = text.substr(8);
  else if (text.starts_with("http://")) scheme = "http", rest = text.substr(7);
  else throw bad();
  const auto slash = rest.find('/');
  const auto host = rest.substr(0, slash);
  if (!valid_url_host(host)) throw bad();
  std::string_view path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  for (const char c : path) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '/';
    if (!ok) throw bad();
  }
  return scheme + "://" + std::string(host) + std::string(path);
}

std::string origin_of_url(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  const auto scheme = url.substr(0, scheme_end);
  url.remove_prefix(scheme_end + 3);
  auto host = url.substr(0, url.find('/'));
  const std::string_view default_port = equals_lower(scheme, "https") ? ":443" : ":80";
  if (host.ends_with(default_port)) host.remove_suffix(default_port.size());
  std::string origin;
  const auto lower = [&](std::string_view text) {
    for (const char c : text) origin += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  lower(scheme);
  origin += "://";
  lower(host);
  return origin;
}

std::optional<std::string> base_url_from_headers(const address_headers& headers) {
  std::optional<std::string> scheme;
  std::optional<std::string_view> host;

  if (headers.forwarded && headers.forwarded->size() <= MOST_HEADER) {
    // Only the first element: the one the proxy nearest the client wrote.
    std::string_view element = first_value(*headers.forwarded);
    while (!element.empty()) {
      const auto semi = element.find(';');
      const auto pair = trim(element.substr(0, semi));
      const auto eq = pair.find('=');
      if (eq != std::string_view::npos) {
        const auto key = trim(pair.substr(0, eq));
        const auto value = unquote(trim(pair.substr(eq + 1)));
        if (equals_lower(key, "proto") && !scheme) scheme = scheme_of(value);
        if (equals_lower(key, "host") && !host && valid_url_host(value)) host = value;
      }
      if (semi == std::string_view::npos) break;
      element.remove_prefix(semi + 1);
    }
  }
  if (!scheme && headers.x_forwarded_proto && headers.x_forwarded_proto->size() <= MOST_HEADER)
    scheme = scheme_of(first_value(*headers.x_forwarded_proto));
  if (!host && headers.x_forwarded_host && headers.x_forwarded_host->size() <= MOST_HEADER) {
    const auto value = first_value(*headers.x_forwarded_host);
    if (valid_url_host(value)) host = value;
  }
  if (!host && headers.host && valid_url_host(trim(*headers.host))) host = trim(*headers.host);
  if (!host) return std::nullopt;
  return scheme.value_or("http") + "://" + std::string(*host);
}

}  // namespace host::http
