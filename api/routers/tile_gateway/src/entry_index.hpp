#pragma once
// Which entries are cached, without walking the keyspace: a build lists its caller key in a
// sorted set before it stores, scored by the time its entry expires, and an edit reads the
// sets instead of scanning every key.
//
// - Box tiles ("bbox:{layer}:..."), whose keys cannot be worked out from an extent, in one set
//   per layer: "mapsvc:bbox-index:{namespace}:{layer}".
// - XYZ tiles, in one set per layer and zoom: "mapsvc:tile-index:{namespace}:{layer}:{z}". An
//   edit whose extent covers many tiles of a zoom (a district at z16) reads the set when it
//   holds fewer members than the tiles it would list: it costs what was built, not the area.
//
// The sets live outside the cache's namespace, as the generations do: a purge deletes and
// counts cache entries only. Members whose time is up are dropped whenever a set is written
// or measured. Entries stored before the sets existed (by an older server) are listed once,
// by one walk over the keyspace the first time an edit needs the sets; markers
// ("mapsvc:bbox-index-since:{namespace}", "mapsvc:tile-index-since:{namespace}", when that
// walk ended) say it was done. A server of an older release still running beside a newer one
// after that stores entries unlisted: an edit misses those until they expire (a purge of the
// layer removes them).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "clients/redis/client.hpp"

namespace mapsvc::tile_gateway::entry_index {

std::string box_list(std::string_view cache_namespace, std::string_view layer);
std::string tile_list(std::string_view cache_namespace, std::string_view layer, int z);

// The command that lists `caller_key` in `list` as cached until `ttl` seconds from now and keeps
// the set itself that long. A build sends it with its ticket, in either order, before its
// statement runs: an edit that reads the set after both finds the entry and moves its
// generation on; one that read it earlier committed before the statement began.
clients::redis::keyed_command add_command(const std::string& list, std::string_view caller_key, std::int64_t ttl);

// The number of live members of each set (one round trip per Redis server).
boost::asio::awaitable<std::vector<std::int64_t>> sizes(clients::redis::client& redis,
                                                        const std::vector<std::string>& lists);

// The set's caller keys whose entries may still live.
boost::asio::awaitable<std::vector<std::string>> members(clients::redis::client& redis, const std::string& list);

// Makes the sets hold every entry of the namespace: the first time (a marker missing), walks
// the keyspace once and lists each entry found, then sets the markers. XYZ tiles live at most
// `longest_tile_ttl` seconds, box tiles `longest_box_ttl`.
boost::asio::awaitable<void> complete(clients::redis::client& redis, std::string_view cache_namespace,
                                      std::int64_t longest_tile_ttl, std::int64_t longest_box_ttl);

}  // namespace mapsvc::tile_gateway::entry_index
