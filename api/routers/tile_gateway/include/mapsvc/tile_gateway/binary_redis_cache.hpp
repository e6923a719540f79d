#pragma once
// Byte strings in Redis under namespaced keys with a time-to-live; no decoding, no framing.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "clients/redis/client.hpp"

namespace mapsvc::tile_gateway {

// Simple Redis cache for binary MVT tiles without UTF-8 decoding.
// Errors of the client reach the caller unchanged; the cache neither retries nor logs.
class BinaryRedisCache {
 public:
  BinaryRedisCache(clients::redis::client& redis_client, std::string cache_namespace = "mvt");

  // Create namespaced key.
  std::string _make_key(std::string_view key) const;

  // Get binary data from cache. `timeout` bounds this read alone (the client's own deadline).
  boost::asio::awaitable<std::optional<std::string>> get(std::string_view key,
                                                         std::optional<std::chrono::milliseconds> timeout = {});

  // The value and the time its Redis copy has left, in one round trip.
  boost::asio::awaitable<clients::redis::value_with_ttl> get_with_ttl(
      std::string_view key, std::optional<std::chrono::milliseconds> timeout = {});

  // Set binary data in cache with TTL. `timeout` bounds this store alone, like the read's.
  boost::asio::awaitable<void> set(std::string_view key, std::string_view value, std::int64_t ttl = 3600,
                                   std::optional<std::chrono::milliseconds> timeout = {});

  // Delete key from cache. (`delete` is reserved in C++.)
  boost::asio::awaitable<void> delete_key(std::string_view key);

  clients::redis::client& redis;
  const std::string cache_namespace;
};

}  // namespace mapsvc::tile_gateway
