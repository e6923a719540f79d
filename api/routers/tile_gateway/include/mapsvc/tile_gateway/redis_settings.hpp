#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "clients/redis/options.hpp"
#include "host/config.hpp"

namespace mapsvc::tile_gateway {

// Where the tile cache lives, read with the other settings when the process starts.
struct redis_settings {
  std::string host = "localhost";
  int port = 6379;
  int db = 0;
  // A Redis Cluster, when not empty (host and port are then unused).
  std::vector<clients::redis::address> cluster_nodes;
  // A primary watched by Sentinel, when not empty: the sentinels and the primary's name.
  std::vector<clients::redis::address> sentinels;
  std::string sentinel_master;
};

// Reads REDIS_HOST, REDIS_PORT and REDIS_DB from `env`; an unset one keeps its default above.
// Numbers are read as Python's int() reads them. Throws invalid_setting, naming the variable and its
// range, when the port is not from 1 to 65535 or the database number is negative (or
// either is not an integer).
//
// REDIS_CLUSTER_NODES ("host:port,...") chooses a Redis Cluster, REDIS_SENTINELS ("host:port,...")
// with REDIS_SENTINEL_MASTER a Sentinel-watched primary. Throws std::invalid_argument naming
// the variable when a list entry is not host:port, when both are set, when the sentinels come
// without the primary's name, or when a cluster is given a database other than 0.
redis_settings read_redis_settings(const host::env_lookup& env);

// Converts text as Python's int() does in base 10: surrounding whitespace, an optional
// sign, and digits with single underscores between them. Throws invalid_int_literal
// otherwise and std::out_of_range beyond int64. Only ASCII digits are accepted.
std::int64_t parse_python_int(std::string_view text);

}  // namespace mapsvc::tile_gateway
