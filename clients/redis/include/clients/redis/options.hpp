#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace clients::redis {

/// A Redis server (or sentinel) to connect to.
struct address {
  std::string host;
  int port = 6379;

  std::string text() const { return host + ":" + std::to_string(port); }
  friend bool operator==(const address&, const address&) = default;
  friend auto operator<=>(const address&, const address&) = default;
};

/// Where and how the client connects. Defaults suit a Redis on this machine.
///
/// Three deployments: one server (`host`, `port`); a Redis Cluster (`cluster_nodes` not empty:
/// any of its nodes, from which the client learns the rest; `host`, `port` and `db` are then
/// unused, a cluster has only database 0); a primary watched by Sentinel (`sentinels` not
/// empty: the primary named `sentinel_master` is asked of them on every connect, so the
/// client follows a failover).
struct options {
  std::string host = "localhost";
  int port = 6379;
  /// Database number, selected on every (re)connect when non-zero.
  int db = 0;
  std::vector<address> cluster_nodes;
  std::vector<address> sentinels;
  std::string sentinel_master;
  /// Bounds name resolution, TCP connect and SELECT together. Zero or less: no limit.
  std::chrono::milliseconds connect_timeout{5000};
  /// A connection whose oldest pending command has had no answer for this long is dropped.
  /// Zero or less: never (callers' own time-outs still apply).
  std::chrono::milliseconds socket_timeout{5000};
  /// Connections that share the callers' commands (each one pipelined), per server; at least 1.
  int connections = 1;
  /// After a connect fails (refused, unreachable: not a time-out), calls in this window fail at
  /// once with that error instead of dialling again: a cache that is down costs nothing per
  /// call. Zero or less: every call dials.
  std::chrono::milliseconds refused_window{200};

  bool is_cluster() const { return !cluster_nodes.empty(); }
  bool uses_sentinels() const { return !sentinels.empty(); }
  /// These settings for the one server `where` (a node of a cluster): database 0.
  options at(const address& where) const;
};

/// Reads "host:port,host:port" (IPv6 hosts in brackets: "[::1]:6379"). Throws
/// std::invalid_argument naming the entry that is not host:port with a port from 1 to 65535.
std::vector<address> parse_address_list(const std::string& text);

}  // namespace clients::redis
