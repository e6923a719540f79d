#include "mapsvc/tile_gateway/binary_redis_cache.hpp"

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

boost::asio::awaitable<void> BinaryRedisCache::delete_key(std::string_view key) {
  const std::string full = _make_key(key);
  co_await redis.del(full);
}

}  // namespace mapsvc::tile_gateway
