#include "mapsvc/tile_gateway/binary_redis_cache.hpp"

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
// database makes the generation exist, so that an invalidation meanwhile moves it on.
constexpr std::string_view CLAIM = R"(redis.call('SET', KEYS[1], '0', 'NX', 'EX', ARGV[1])
return redis.call('GET', KEYS[1]))";

// KEYS: entry, its generation. ARGV: the generation's lifetime in seconds. Only a generation
// that exists moves on: without one, no build of the entry is under way (see CLAIM), and
// invalidating the many entries of a large edit that were never built leaves nothing behind.
constexpr std::string_view INVALIDATE = R"(if redis.call('EXISTS', KEYS[2]) == 1 then
  redis.call('INCR', KEYS[2])
  redis.call('EXPIRE', KEYS[2], ARGV[1])
end
return redis.call('DEL', KEYS[1]))";

}  // namespace

boost::asio::awaitable<std::pair<clients::redis::value_with_ttl, BinaryRedisCache::build_ticket>>
BinaryRedisCache::get_for_build(std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  const std::string full = _make_key(key);
  const std::string generation = generation_key(full);
  auto found = co_await redis.get_with_ttl(full, timeout);
  // Only a miss is built: only then is the ticket claimed (one more round trip, on misses).
  build_ticket ticket;
  if (!found.value || found.value->empty()) ticket = co_await claim(generation, timeout);
  co_return std::pair{std::move(found), std::move(ticket)};
}

boost::asio::awaitable<BinaryRedisCache::build_ticket> BinaryRedisCache::ticket_for(
    std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  co_return co_await claim(generation_key(_make_key(key)), timeout);
}

boost::asio::awaitable<BinaryRedisCache::build_ticket> BinaryRedisCache::claim(
    const std::string& generation, std::optional<std::chrono::milliseconds> timeout) {
  std::vector<std::string> args{"EVAL", std::string(CLAIM), "1", generation,
                                std::to_string(GENERATION_LIFETIME_SECONDS)};
  const auto r = co_await redis.command_on(generation, std::move(args), timeout);
  if (r.is_error()) throw clients::redis::reply_error(r.str);
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
  std::vector<clients::redis::keyed_command> commands;
  commands.reserve(keys.size());
  const std::string lifetime = std::to_string(GENERATION_LIFETIME_SECONDS);
  for (const auto& key : keys) {
    std::string full = _make_key(key);
    std::string generation = generation_key(full);
    commands.push_back({full, {"EVAL", std::string(INVALIDATE), "2", full, std::move(generation), lifetime}});
  }
  co_return co_await redis.each(std::move(commands));
}

boost::asio::awaitable<void> BinaryRedisCache::delete_key(std::string_view key) {
  const std::string full = _make_key(key);
  co_await redis.del(full);
}

}  // namespace mapsvc::tile_gateway
