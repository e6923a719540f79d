#include "entry_index.hpp"

#include <fmt/format.h>

#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tile_gateway::entry_index {
namespace {

namespace redis = clients::redis;

// KEYS: the set. ARGV: now and expiry (epoch seconds), caller key, ttl. Members whose time is up
// go first (each one once, so the cost follows the stores); the set lives as long as its
// longest-lived member.
constexpr std::string_view ADD = R"(redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', '(' .. ARGV[1])
redis.call('ZADD', KEYS[1], ARGV[2], ARGV[3])
if redis.call('TTL', KEYS[1]) < tonumber(ARGV[4]) then redis.call('EXPIRE', KEYS[1], ARGV[4]) end
return 1)";

// KEYS: the set. ARGV: now (epoch seconds). The live members' count.
constexpr std::string_view SIZE = R"(redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', '(' .. ARGV[1])
return redis.call('ZCARD', KEYS[1]))";

// Members (and keys, when listing what was stored before) read per round trip.
constexpr std::size_t PAGE = 1000;
constexpr std::int64_t SCAN_COUNT = 1000;
// Clocks of the servers that write the sets may disagree by this much.
constexpr std::int64_t CLOCK_SLACK_SECONDS = 60;

std::int64_t epoch_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string tile_marker(std::string_view cache_namespace) {
  return fmt::format("mapsvc:tile-index-since:{}", cache_namespace);
}

std::string box_marker(std::string_view cache_namespace) {
  return fmt::format("mapsvc:bbox-index-since:{}", cache_namespace);
}

void throw_on_error(const std::vector<redis::reply>& replies) {
  for (const auto& r : replies)
    if (r.is_error()) throw redis::reply_error(r.str);
}

// The set a cached entry belongs in, none for entries that are not listed (centroids).
std::optional<std::string> list_of(std::string_view cache_namespace, std::string_view caller_key, bool tiles,
                                   bool boxes) {
  constexpr std::string_view BOX_PREFIX = "bbox:";
  if (caller_key.starts_with(BOX_PREFIX)) {
    const auto rest = caller_key.substr(BOX_PREFIX.size());
    const auto layer_end = rest.find(':');
    if (!boxes || layer_end == std::string_view::npos) return std::nullopt;
    return box_list(cache_namespace, rest.substr(0, layer_end));
  }
  if (!tiles) return std::nullopt;
  const auto tile = parse_tile_key(caller_key);
  if (!tile) return std::nullopt;
  return tile_list(cache_namespace, tile->first, tile->second.z);
}

}  // namespace

redis::keyed_command add_command(const std::string& list, std::string_view caller_key, std::int64_t ttl) {
  const std::int64_t lives = ttl + CLOCK_SLACK_SECONDS, now = epoch_seconds();
  return {list,
          {"EVAL", std::string(ADD), "1", list, std::to_string(now), std::to_string(now + lives),
           std::string(caller_key), std::to_string(lives)}};
}

std::string box_list(std::string_view cache_namespace, std::string_view layer) {
  return fmt::format("mapsvc:bbox-index:{}:{}", cache_namespace, layer);
}

std::string tile_list(std::string_view cache_namespace, std::string_view layer, int z) {
  return fmt::format("mapsvc:tile-index:{}:{}:{}", cache_namespace, layer, z);
}

boost::asio::awaitable<std::vector<std::int64_t>> sizes(redis::client& redis, const std::vector<std::string>& lists) {
  std::vector<redis::keyed_command> commands;
  const auto now = std::to_string(epoch_seconds());
  for (const auto& list : lists) commands.push_back({list, {"EVAL", std::string(SIZE), "1", list, now}});
  const auto replies = co_await redis.each(std::move(commands));
  throw_on_error(replies);
  std::vector<std::int64_t> out;
  for (const auto& r : replies) {
    if (r.type != redis::reply_type::integer) throw redis::error("unexpected reply to ZCARD");
    out.push_back(r.integer);
  }
  co_return out;
}

boost::asio::awaitable<std::vector<std::string>> members(redis::client& redis, const std::string& list) {
  std::vector<std::string> keys;
  std::string cursor = "0";
  do {
    std::vector<std::string> page{"ZSCAN", list, cursor, "COUNT", std::to_string(PAGE)};
    const auto r = co_await redis.command_on(list, std::move(page));
    if (r.is_error()) throw redis::reply_error(r.str);
    if (r.elements.size() != 2) throw redis::error("unexpected reply to ZSCAN");
    cursor = r.elements[0].str;
    const auto& pairs = r.elements[1].elements;  // member, score, member, score, ...
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) keys.push_back(pairs[i].str);
  } while (cursor != "0");
  co_return keys;
}

boost::asio::awaitable<void> complete(redis::client& redis, std::string_view cache_namespace,
                                      std::int64_t longest_tile_ttl, std::int64_t longest_box_ttl) {
  const std::string tiles_marker = tile_marker(cache_namespace), boxes_marker = box_marker(cache_namespace);
  // Both markers in one round trip: every batch with lookups or box tiles asks.
  std::vector<redis::keyed_command> reads{{tiles_marker, {"GET", tiles_marker}}, {boxes_marker, {"GET", boxes_marker}}};
  const auto marked = co_await redis.each(std::move(reads));
  throw_on_error(marked);
  const bool tiles = marked[0].type == redis::reply_type::nil, boxes = marked[1].type == redis::reply_type::nil;
  if (!tiles && !boxes) co_return;
  // Every entry found is listed as living for the longest time one of its kind may: its own
  // time left would cost a round trip per key.
  const std::string prefix = fmt::format("{}:", cache_namespace);
  auto scanner = redis.scan_iter(prefix + "*", SCAN_COUNT);
  while (auto page = co_await scanner.next_page()) {
    std::vector<redis::keyed_command> adds;
    for (const auto& full : *page) {
      if (!full.starts_with(prefix)) continue;
      const std::string_view caller_key = std::string_view(full).substr(prefix.size());
      auto list = list_of(cache_namespace, caller_key, tiles, boxes);
      if (!list) continue;
      const bool box = caller_key.starts_with("bbox:");
      adds.push_back(add_command(*list, caller_key, box ? longest_box_ttl : longest_tile_ttl));
    }
    if (adds.empty()) continue;
    const auto replies = co_await redis.each(std::move(adds));
    throw_on_error(replies);
  }
  const auto since = std::to_string(epoch_seconds());
  std::vector<redis::keyed_command> markers;
  if (tiles) markers.push_back({tiles_marker, {"SET", tiles_marker, since}});
  if (boxes) markers.push_back({boxes_marker, {"SET", boxes_marker, since}});
  const auto replies = co_await redis.each(std::move(markers));
  throw_on_error(replies);
}

}  // namespace mapsvc::tile_gateway::entry_index
