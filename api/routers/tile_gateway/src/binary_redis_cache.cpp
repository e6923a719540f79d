#include "mapsvc/tile_gateway/binary_redis_cache.hpp"

#include <algorithm>
#include <map>

#include "mapsvc/tile_gateway/cache_keys.hpp"

namespace mapsvc::tile_gateway {

BinaryRedisCache::BinaryRedisCache(clients::redis::client& redis_client, std::string cache_namespace)
    : redis(redis_client), cache_namespace(std::move(cache_namespace)) {}

std::string BinaryRedisCache::_make_key(std::string_view key) const {
  std::string full;
  full.reserve(cache_namespace.size() + 1 + key.size());
  full.append(cache_namespace).append(":").append(key);
  return full;
}

boost::asio::awaitable<std::optional<std::string>> BinaryRedisCache::get(
    std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  const std::string full = _make_key(key);
  co_return co_await redis.get(full, timeout);
}

boost::asio::awaitable<clients::redis::value_with_ttl> BinaryRedisCache::get_with_ttl(
    std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  const std::string full = _make_key(key);
  co_return co_await redis.get_with_ttl(full, timeout);
}

boost::asio::awaitable<void> BinaryRedisCache::set(std::string_view key, std::string_view value, std::int64_t ttl,
                                                   std::optional<std::chrono::milliseconds> timeout) {
  const std::string full = _make_key(key);
  co_await redis.set(full, value, ttl, timeout);
}

namespace {

// KEYS: entry, its generation. ARGV: value, ttl, the generation the build saw ("" for none).
constexpr std::string_view STORE_IF_CURRENT = R"(local g = redis.call('GET', KEYS[2]) or ''
if g ~= ARGV[3] then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 1)";

// KEYS: an entry's generation. ARGV: its lifetime in seconds. A build about to read the
// database makes the generation exist, so that an invalidation meanwhile moves it on, and
// live a whole lifetime from now: one claimed by an earlier build could otherwise expire while
// this build runs, be made anew by a later build with the same value, and let this build
// store what it read before an edit.
constexpr std::string_view CLAIM = R"(redis.call('SET', KEYS[1], '0', 'NX', 'EX', ARGV[1])
redis.call('EXPIRE', KEYS[1], ARGV[1])
return redis.call('GET', KEYS[1]))";

// KEYS: entry, its generation, the next entry, its generation, ... ARGV: the generations'
// lifetime in seconds. Per entry, only a generation that exists moves on: without one, no build
// of the entry is under way (see CLAIM), and invalidating the many entries of a large edit that
// were never built leaves nothing behind. Returns what DEL returned for each entry, in order.
constexpr std::string_view INVALIDATE = R"(local deleted = {}
for i = 1, #KEYS, 2 do
  if redis.call('EXISTS', KEYS[i + 1]) == 1 then
    redis.call('INCR', KEYS[i + 1])
    redis.call('EXPIRE', KEYS[i + 1], ARGV[1])
  end
  deleted[#deleted + 1] = redis.call('DEL', KEYS[i])
end
return deleted)";

// Entries invalidated by one script run: a large edit lists thousands, and one command per
// entry cost Redis far more than the work itself; a run this long still holds Redis only for
// a fraction of a millisecond.
constexpr std::size_t ENTRIES_PER_SCRIPT = 128;

}  // namespace

boost::asio::awaitable<BinaryRedisCache::build_ticket> BinaryRedisCache::ticket_for(
    std::string_view key, std::optional<std::chrono::milliseconds> timeout,
    std::optional<clients::redis::keyed_command> alongside) {
  std::string generation = generation_key(_make_key(key));
  std::vector<clients::redis::keyed_command> commands;
  commands.push_back(
      {generation, {"EVAL", std::string(CLAIM), "1", generation, std::to_string(GENERATION_LIFETIME_SECONDS)}});
  if (alongside) commands.push_back(std::move(*alongside));
  const auto replies = co_await redis.each(std::move(commands), timeout);
  for (const auto& r : replies)
    if (r.is_error()) throw clients::redis::reply_error(r.str);
  const auto& r = replies.front();
  if (r.type != clients::redis::reply_type::string) throw clients::redis::error("unexpected reply to a build claim");
  co_return build_ticket{r.str};
}

boost::asio::awaitable<bool> BinaryRedisCache::set_if_current(std::string_view key, std::string_view value,
                                                              std::int64_t ttl, const build_ticket& ticket,
                                                              std::optional<std::chrono::milliseconds> timeout) {
  std::string full = _make_key(key);
  std::string generation = generation_key(full);
  std::vector<std::string> args{"EVAL", std::string(STORE_IF_CURRENT), "2", full, std::move(generation),
                                std::string(value), std::to_string(ttl), ticket.generation.value_or("")};
  const auto r = co_await redis.command_on(full, std::move(args), timeout);
  if (r.is_error()) throw clients::redis::reply_error(r.str);
  if (r.type != clients::redis::reply_type::integer) throw clients::redis::error("unexpected reply to a guarded store");
  co_return r.integer == 1;
}

boost::asio::awaitable<std::vector<clients::redis::reply>> BinaryRedisCache::invalidate_each(
    const std::vector<std::string>& keys) {
  // Entries that may share a script run (all of them on one server, those of one slot in a
  // cluster: an entry and its generation share a slot), in runs of ENTRIES_PER_SCRIPT.
  std::map<std::uint16_t, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < keys.size(); ++i) groups[redis.key_group(_make_key(keys[i]))].push_back(i);
  const std::string lifetime = std::to_string(GENERATION_LIFETIME_SECONDS);
  std::vector<clients::redis::keyed_command> commands;
  std::vector<std::vector<std::size_t>> runs;  // the entries of each command, by index in `keys`
  for (const auto& [group, members] : groups) {
    for (std::size_t start = 0; start < members.size(); start += ENTRIES_PER_SCRIPT) {
      const std::size_t end = std::min(members.size(), start + ENTRIES_PER_SCRIPT);
      const std::size_t count = end - start;
      std::vector<std::string> args{"EVAL", std::string(INVALIDATE), std::to_string(2 * count)};
      args.reserve(3 + 2 * count + 1);
      for (std::size_t k = start; k < end; ++k) {
        std::string full = _make_key(keys[members[k]]);
        std::string generation = generation_key(full);
        args.push_back(std::move(full));
        args.push_back(std::move(generation));
      }
      args.push_back(lifetime);
      commands.push_back({args[3], std::move(args)});
      runs.emplace_back(members.begin() + static_cast<std::ptrdiff_t>(start),
                        members.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  const auto replies = co_await redis.each(std::move(commands));
  // Back to one reply per key, in the keys' order; a run that failed fails each of its entries.
  std::vector<clients::redis::reply> out(keys.size());
  for (std::size_t c = 0; c < runs.size(); ++c) {
    const auto& r = replies[c];
    const bool per_entry = r.type == clients::redis::reply_type::array && r.elements.size() == runs[c].size();
    for (std::size_t k = 0; k < runs[c].size(); ++k) {
      if (per_entry) {
        out[runs[c][k]] = r.elements[k];
      } else if (r.is_error()) {
        out[runs[c][k]] = r;
      } else {
        out[runs[c][k]] = {clients::redis::reply_type::error, "unexpected reply to an invalidation", 0, {}};
      }
    }
  }
  co_return out;
}

boost::asio::awaitable<void> BinaryRedisCache::delete_key(std::string_view key) {
  const std::string full = _make_key(key);
  co_await redis.del(full);
}

}  // namespace mapsvc::tile_gateway
