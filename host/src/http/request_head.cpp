#include "host/http/request_head.hpp"

#include <array>
#include <string>
#include <string_view>

#include <boost/beast/http/field.hpp>

#include "header_lists.hpp"

namespace host::http {
namespace {

namespace bhttp = boost::beast::http;

bool is_hex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// Letters, digits, "-._~" and the sub-delimiters: what a registered name holds besides percent
// escapes. A table, since every request's Host is walked through it.
constexpr auto NAME_CHARS = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (const char c : std::string_view("-._~!$&'()*+,;=")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool is_unreserved_or_sub_delim(char c) { return NAME_CHARS[static_cast<unsigned char>(c)]; }

bool valid_port(std::string_view p) {
  if (p.size() > 5) return false;
  unsigned value = 0;
  for (const char c : p) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

bool valid_reg_name(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%') {
      if (i + 2 >= name.size() || !is_hex(name[i + 1]) || !is_hex(name[i + 2])) return false;
      i += 2;
    } else if (!is_unreserved_or_sub_delim(name[i])) {
      return false;
    }
  }
  return true;
}

// The authority of an absolute-form target ("http://authority/path"), or none when the target
// is not one.
std::optional<std::string_view> absolute_authority(std::string_view target) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!detail::iequals(target.substr(0, scheme.size()), scheme)) continue;
    target.remove_prefix(scheme.size());
    return target.substr(0, target.find_first_of("/?#"));
  }
  return std::nullopt;
}

}  // namespace

bool valid_host_field(std::string_view value) noexcept {
  std::string_view port;
  if (!value.empty() && value.front() == '[') {
    const auto close = value.find(']');
    if (close == std::string_view::npos || close < 2) return false;
    for (const char c : value.substr(1, close - 1))
      if (!is_unreserved_or_sub_delim(c) && c != ':') return false;
    const auto rest = value.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
  } else {
    const auto colon = value.find(':');
    if (colon != std::string_view::npos) port = value.substr(colon + 1);
    if (!valid_reg_name(value.substr(0, colon))) return false;
  }
  return valid_port(port);
}

std::optional<response> settle_host(http_request_header& head) {
  // One walk over the fields comparing their codes: cheaper than a lookup by name for the
  // handful of fields a request carries.
  std::size_t hosts = 0;
  std::string_view host;
  for (const auto& field : head) {
    if (field.name() != bhttp::field::host) continue;
    if (++hosts > 1) return detail_response(400, "More than one Host header");
    host = std::string_view(field.value().data(), field.value().size());
  }
  // HTTP/1.0 predates Host: such a request is for the default host.
  if (hosts == 0 && head.version() >= 11) return detail_response(400, "Missing Host header");
  if (hosts == 1 && !valid_host_field(host)) return detail_response(400, "Invalid Host header");

  const std::string_view target(head.target().data(), head.target().size());
  if (target.empty() || target.front() == '/') return std::nullopt;
  const auto authority = absolute_authority(target);
  if (!authority) return std::nullopt;  // neither form: the router refuses the target
  if (authority->empty() || authority->find('@') != std::string_view::npos || !valid_host_field(*authority))
    return detail_response(400, "Invalid authority in the request target");
  // The target names the host; a Host field beside it is ignored, whatever it says.
  head.set(bhttp::field::host, std::string(*authority));
  return std::nullopt;
}

expectation expectation_of(const http_request_header& head) {
  auto outcome = expectation::none;
  for (const auto& field : head) {
    if (field.name() != bhttp::field::expect) continue;
    detail::for_each_element(std::string_view(field.value().data(), field.value().size()), [&](std::string_view element) {
      if (!detail::iequals(element, "100-continue")) outcome = expectation::unmet;
      else if (outcome == expectation::none) outcome = expectation::continue_100;
    });
  }
  return outcome;
}

}  // namespace host::http
