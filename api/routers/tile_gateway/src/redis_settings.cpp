#include "mapsvc/tile_gateway/redis_settings.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "mapsvc/tile_gateway/errors.hpp"

namespace mapsvc::tile_gateway {

namespace {

// Code point at `pos` in UTF-8 text and its length; malformed bytes come back as
// themselves (never whitespace) so they end up in the refusal.
std::pair<char32_t, std::size_t> decode_at(std::string_view s, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (len == 0 || pos + len > s.size()) return {lead, 1};
  char32_t cp = len == 1 ? lead : lead & (0x7f >> len);
  for (std::size_t k = 1; k < len; ++k) {
    const auto cont = static_cast<unsigned char>(s[pos + k]);
    if ((cont & 0xc0) != 0x80) return {lead, 1};
    cp = (cp << 6) | (cont & 0x3f);
  }
  return {cp, len};
}

// The characters Python's str.strip() removes.
bool is_python_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0d) || (cp >= 0x1c && cp <= 0x20) || cp == 0x85 || cp == 0xa0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 || cp == 0x202f ||
         cp == 0x205f || cp == 0x3000;
}

std::string_view strip_python_space(std::string_view s) {
  std::size_t begin = s.size(), end = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    const auto [cp, len] = decode_at(s, pos);
    if (!is_python_space(cp)) {
      begin = std::min(begin, pos);
      end = pos + len;
    }
    pos += len;
  }
  return begin < end ? s.substr(begin, end - begin) : std::string_view{};
}

// A setting outside its range would start the service cleanly and then fail every cache
// call, so it is refused when the module loads.
int setting_as_int(const char* name, std::string_view text, int min, int max) {
  std::int64_t value = 0;
  try {
    value = parse_python_int(text);
  } catch (const std::logic_error&) {  // not an integer (invalid_argument), or beyond 64 bits (out_of_range)
    throw invalid_setting(name, text, min, max);
  }
  if (value < min || value > max) throw invalid_setting(name, text, min, max);
  return static_cast<int>(value);
}

// A comma list of host:port; unset or blank: none.
std::vector<clients::redis::address> address_list(const host::env_lookup& env, const char* name) {
  const auto raw = env(name);
  if (!raw || strip_python_space(*raw).empty()) return {};
  try {
    return clients::redis::parse_address_list(std::string(strip_python_space(*raw)));
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string(name) + ": " + e.what());
  }
}

}  // namespace

std::int64_t parse_python_int(std::string_view text) {
  std::string_view s = strip_python_space(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) throw invalid_int_literal(text);

  // Magnitude in uint64 so that INT64_MIN still fits.
  constexpr std::uint64_t limit_pos = INT64_MAX;
  const std::uint64_t limit = negative ? limit_pos + 1 : limit_pos;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  bool after_digit = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '_') {
      // Only between two digits, never doubled or trailing.
      if (!after_digit || i + 1 == s.size()) throw invalid_int_literal(text);
      after_digit = false;
      continue;
    }
    if (c < '0' || c > '9') throw invalid_int_literal(text);
    after_digit = true;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) overflow = true;  // keep checking the syntax first
    else magnitude = magnitude * 10 + digit;
  }
  if (overflow) throw std::out_of_range("integer out of range: " + std::string(text));
  if (negative) return magnitude == limit_pos + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

redis_settings read_redis_settings(const host::env_lookup& env) {
  redis_settings settings;
  if (const auto host = env("REDIS_HOST")) settings.host = *host;
  if (const auto port = env("REDIS_PORT")) settings.port = setting_as_int("REDIS_PORT", *port, 1, 65535);
  // How many databases exist is the server's own setting; only a negative number is
  // certainly wrong here.
  if (const auto db = env("REDIS_DB")) settings.db = setting_as_int("REDIS_DB", *db, 0, INT_MAX);
  settings.cluster_nodes = address_list(env, "REDIS_CLUSTER_NODES");
  settings.sentinels = address_list(env, "REDIS_SENTINELS");
  if (const auto master = env("REDIS_SENTINEL_MASTER")) settings.sentinel_master = strip_python_space(*master);

  if (!settings.cluster_nodes.empty() && !settings.sentinels.empty())
    throw std::invalid_argument(
        "REDIS_CLUSTER_NODES and REDIS_SENTINELS cannot be used together: a Redis Cluster fails over by itself");
  if (!settings.cluster_nodes.empty() && settings.db != 0)
    throw std::invalid_argument("a Redis Cluster has only database 0: REDIS_DB=" + std::to_string(settings.db) +
                                " cannot be used with REDIS_CLUSTER_NODES");
  if (!settings.sentinels.empty() && settings.sentinel_master.empty())
    throw std::invalid_argument(
        "REDIS_SENTINELS needs REDIS_SENTINEL_MASTER, the name the sentinels know the primary by");
  return settings;
}

}  // namespace mapsvc::tile_gateway
