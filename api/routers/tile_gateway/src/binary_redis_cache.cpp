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

// KEYS: entry, its generation. ARGV: the generation's lifetime in seconds.
constexpr std::string_view INVALIDATE = R"(redis.call('INCR', KEYS[2])
redis.call('EXPIRE', KEYS[2], ARGV[1])
return redis.call('DEL', KEYS[1]))";

}  // namespace

boost::asio::awaitable<std::pair<clients::redis::value_with_ttl, BinaryRedisCache::build_ticket>>
BinaryRedisCache::get_for_build(std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  const std::string full = _make_key(key);
  const std::string generation = generation_key(full);
  auto found = co_await redis.get_with_ttl(full, timeout, generation);
  build_ticket ticket{std::move(found.companion)};
  found.companion.reset();
  co_return std::pair{std::move(found), std::move(ticket)};
}

boost::asio::awaitable<BinaryRedisCache::build_ticket> BinaryRedisCache::ticket_for(
    std::string_view key, std::optional<std::chrono::milliseconds> timeout) {
  const std::string generation = generation_key(_make_key(key));
  auto seen = co_await redis.get(generation, timeout);
  co_return build_ticket{std::move(seen)};
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
