#include "box_index.hpp"

#include <fmt/format.h>

namespace mapsvc::tile_gateway::box_index {
namespace {

namespace redis = clients::redis;

// KEYS: the list. ARGV: expiry (epoch seconds), caller key, ttl. The list lives as long as
// its longest-lived member.
constexpr std::string_view ADD = R"(redis.call('ZADD', KEYS[1], ARGV[1], ARGV[2])
if redis.call('TTL', KEYS[1]) < tonumber(ARGV[3]) then redis.call('EXPIRE', KEYS[1], ARGV[3]) end
return 1)";

// Members (and keys, when listing what was stored before) read per round trip.
constexpr std::size_t PAGE = 1000;
constexpr std::int64_t SCAN_COUNT = 1000;
// Clocks of the servers that write the lists may disagree by this much.
constexpr std::int64_t CLOCK_SLACK_SECONDS = 60;

std::int64_t epoch_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Sends one command to the server of `key`. (The arguments are built before the co_await:
// g++ 12 may destroy temporaries of a co_await expression twice.)
boost::asio::awaitable<redis::reply> on(redis::client& redis, const std::string& key, std::vector<std::string> args,
                                        std::optional<std::chrono::milliseconds> timeout = {}) {
  auto r = co_await redis.command_on(key, std::move(args), timeout);
  if (r.is_error()) throw redis::reply_error(r.str);
  co_return r;
}

}  // namespace

std::string list_key(std::string_view cache_namespace, std::string_view layer) {
  return fmt::format("mapsvc:bbox-index:{}:{}", cache_namespace, layer);
}

std::string marker_key(std::string_view cache_namespace) {
  return fmt::format("mapsvc:bbox-index-since:{}", cache_namespace);
}

boost::asio::awaitable<void> add(redis::client& redis, std::string_view cache_namespace, std::string_view layer,
                                 std::string_view caller_key, std::int64_t ttl,
                                 std::optional<std::chrono::milliseconds> timeout) {
  std::string list = list_key(cache_namespace, layer);
  const std::int64_t lives = ttl + CLOCK_SLACK_SECONDS;
  std::vector<std::string> args{"EVAL",
                                std::string(ADD),
                                "1",
                                list,
                                std::to_string(epoch_seconds() + lives),
                                std::string(caller_key),
                                std::to_string(lives)};
  co_await on(redis, list, std::move(args), timeout);
}

boost::asio::awaitable<std::vector<std::string>> listed(redis::client& redis, std::string_view cache_namespace,
                                                        std::string_view layer) {
  const std::string list = list_key(cache_namespace, layer);
  std::vector<std::string> expired{"ZREMRANGEBYSCORE", list, "-inf", fmt::format("({}", epoch_seconds())};
  co_await on(redis, list, std::move(expired));
  std::vector<std::string> keys;
  std::string cursor = "0";
  do {
    std::vector<std::string> page{"ZSCAN", list, cursor, "COUNT", std::to_string(PAGE)};
    const auto r = co_await on(redis, list, std::move(page));
    if (r.elements.size() != 2) throw redis::error("unexpected reply to ZSCAN");
    cursor = r.elements[0].str;
    const auto& pairs = r.elements[1].elements;  // member, score, member, score, ...
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) keys.push_back(pairs[i].str);
  } while (cursor != "0");
  co_return keys;
}

boost::asio::awaitable<void> complete(redis::client& redis, std::string_view cache_namespace,
                                      std::int64_t longest_ttl) {
  const std::string marker = marker_key(cache_namespace);
  if (co_await redis.get(marker)) co_return;
  // Box tiles of the namespace, each listed in its layer's list (as living for the longest
  // time a box tile may: its own time left would cost a round trip per key).
  const std::string prefix = fmt::format("{}:bbox:", cache_namespace);
  auto scanner = redis.scan_iter(prefix + "*", SCAN_COUNT);
  while (auto page = co_await scanner.next_page()) {
    std::vector<redis::keyed_command> adds;
    for (const auto& full : *page) {
      const std::string_view caller_key = std::string_view(full).substr(cache_namespace.size() + 1);
      const std::string_view rest = std::string_view(full).substr(prefix.size());
      const auto layer_end = rest.find(':');
      if (layer_end == std::string_view::npos) continue;
      std::string list = list_key(cache_namespace, rest.substr(0, layer_end));
      const std::int64_t lives = longest_ttl + CLOCK_SLACK_SECONDS;
      std::vector<std::string> args{"EVAL", std::string(ADD), "1", list, std::to_string(epoch_seconds() + lives),
                                    std::string(caller_key), std::to_string(lives)};
      adds.push_back({std::move(list), std::move(args)});
    }
    const auto replies = co_await redis.each(std::move(adds));
    for (const auto& r : replies)
      if (r.is_error()) throw redis::reply_error(r.str);
  }
  std::vector<std::string> set_marker{"SET", marker, std::to_string(epoch_seconds())};
  co_await on(redis, marker, std::move(set_marker));
}

}  // namespace mapsvc::tile_gateway::box_index
