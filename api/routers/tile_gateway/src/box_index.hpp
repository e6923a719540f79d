#pragma once
// Which box tiles ("bbox:{layer}:...") are cached, without walking the keyspace: a build
// that stores one lists its caller key first in a sorted set per layer
// ("mapsvc:bbox-index:{namespace}:{layer}"), scored by the time its entry expires. An edit then
// reads the layer's list instead of scanning every key. The lists live outside the cache's
// namespace, as the generations do: a purge deletes and counts cache entries only.
//
// Entries stored before the lists existed (by an older server) are listed once, by one walk
// over the keyspace the first time an edit needs the lists; a marker
// ("mapsvc:bbox-index-since:{namespace}", when that walk ended) says it was done. A server of
// an older release still running beside a newer one after that stores box tiles unlisted: an
// edit misses those until they expire (a purge of the layer removes them).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "clients/redis/client.hpp"

namespace mapsvc::tile_gateway::box_index {

std::string list_key(std::string_view cache_namespace, std::string_view layer);
std::string marker_key(std::string_view cache_namespace);

// Lists `caller_key` as cached until `ttl` seconds from now (seconds since the epoch) and
// keeps the list itself that long. Must come after the build's ticket was taken and before
// its store: an edit that reads the list meanwhile invalidates the entry's generation.
boost::asio::awaitable<void> add(clients::redis::client& redis, std::string_view cache_namespace, std::string_view layer,
                                 std::string_view caller_key, std::int64_t ttl,
                                 std::optional<std::chrono::milliseconds> timeout);

// The layer's listed caller keys whose entries may still live; drops the expired ones first.
boost::asio::awaitable<std::vector<std::string>> listed(clients::redis::client& redis,
                                                        std::string_view cache_namespace, std::string_view layer);

// Makes the lists hold every box tile of the namespace: the first time (no marker yet), walks
// the keyspace once and lists each box tile found, then sets the marker. Box tiles expire after
// at most `longest_ttl` seconds.
boost::asio::awaitable<void> complete(clients::redis::client& redis, std::string_view cache_namespace,
                                      std::int64_t longest_ttl);

}  // namespace mapsvc::tile_gateway::box_index
