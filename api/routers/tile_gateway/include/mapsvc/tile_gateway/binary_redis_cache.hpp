#pragma once
// Byte strings in Redis under namespaced keys with a time-to-live; no decoding, no framing.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

  // What a build of an entry must show to store its result: the entry's invalidation
  // generation as it was before the build read the database. Taking a ticket makes the
  // generation exist, so that an invalidation while the build runs moves it on.
  struct build_ticket {
    std::optional<std::string> generation;
  };

  // The ticket for a build of `key` about to read the database. `alongside`, when given, is
  // sent in the same round trip (a build lists its entry then); an error reply to either
  // fails the whole.
  boost::asio::awaitable<build_ticket> ticket_for(std::string_view key,
                                                  std::optional<std::chrono::milliseconds> timeout = {},
                                                  std::optional<clients::redis::keyed_command> alongside = {});

  // SET with TTL, atomically only if the entry was not invalidated since `ticket` was taken:
  // a build that read the database before an edit was applied must not cache what it read.
  // False when it was invalidated (nothing stored).
  boost::asio::awaitable<bool> set_if_current(std::string_view key, std::string_view value, std::int64_t ttl,
                                              const build_ticket& ticket,
                                              std::optional<std::chrono::milliseconds> timeout = {});

  // Invalidates each entry: its generation, when a build claimed one, moves on (refusing builds begun before) and the
  // entry is deleted, atomically per entry; one round trip per server. Replies per key: the
  // number deleted (0 or 1), or an error reply.
  boost::asio::awaitable<std::vector<clients::redis::reply>> invalidate_each(const std::vector<std::string>& keys);

  // How long an entry's generation outlives its claim or last invalidation: longer than any
  // build (a session waited for, at most 30 s, then a statement of at most 30 s), or a build
  // overtaken by an invalidation could find a generation made anew and store what it read.
  // No longer than that: every generation is a key that each walk over the keyspace reads.
  static constexpr std::int64_t GENERATION_LIFETIME_SECONDS = 120;

  // Set binary data in cache with TTL. `timeout` bounds this store alone, like the read's.
  boost::asio::awaitable<void> set(std::string_view key, std::string_view value, std::int64_t ttl = 3600,
                                   std::optional<std::chrono::milliseconds> timeout = {});

  // Delete key from cache. (`delete` is reserved in C++.)
  boost::asio::awaitable<void> delete_key(std::string_view key);

  clients::redis::client& redis;
  const std::string cache_namespace;
};

}  // namespace mapsvc::tile_gateway
