#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "clients/redis/errors.hpp"
#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"

namespace clients::redis {

namespace asio = boost::asio;

namespace detail {
class topology;
}

/// Walks a SCAN MATCH pattern key by key, fetching the next page only when the current one is
/// used up. Keys come as Redis returned them; SCAN may return a key twice and so may this. In a
/// Redis Cluster the walk goes through every primary in turn, so it sees every key.
/// The scanner must outlive each `next()` it is awaited on.
class scanner {
 public:
  /// The next key, or none once the cursor has come back to "0" and the last page is used up.
  asio::awaitable<std::optional<std::string>> next();

  /// The keys of the current page not yet taken, or else the next page's (which may be empty);
  /// none once the walk is over. For callers that act on a page at once.
  asio::awaitable<std::optional<std::vector<std::string>>> next_page();

 private:
  friend class client;
  scanner(std::shared_ptr<detail::topology> impl, std::string match, std::int64_t count);

  std::shared_ptr<detail::topology> impl_;
  std::string match_;
  std::int64_t count_;
  std::vector<address> holders_;  // the servers still to walk, learnt on the first next()
  bool started_ = false;
  std::string cursor_ = "0";
  std::vector<std::string> page_;
  std::size_t pos_ = 0;
  bool finished_ = false;
};

/// A value with the time it has left: what a cache in front of Redis needs so that its copy
/// never outlives the one in Redis.
struct value_with_ttl {
  std::optional<std::string> value;
  /// Remaining time to live (PTTL): none when the key has no expiry or no longer exists.
  std::optional<std::chrono::milliseconds> ttl;
  /// The value of the companion key asked for with it, if any.
  std::optional<std::string> companion;
};

/// A command for the server that holds `key` (in a cluster, the node of its slot).
struct keyed_command {
  std::string key;
  std::vector<std::string> args;
};

/// Asynchronous Redis client for one event loop, shared by every coroutine on it.
///
/// Construction opens nothing and sends nothing: the first command connects, and a later
/// command reconnects after a failure. Commands of concurrent callers are pipelined on the
/// connection(s) and answered in order. Keys, values and replies are raw bytes.
///
/// A `timeout` given to a call bounds that call alone (connect wait included): at its deadline
/// the caller gets `timeout_error` and its late reply is dropped when it arrives. Without one,
/// a call is still bounded by the connect and socket time-outs of `options`.
///
/// Destroying the client fails the commands still pending with `connection_error`; it must be
/// destroyed before its executor's io_context.
class client {
 public:
  client(asio::any_io_executor executor, options opts);
  ~client();
  client(client&&) noexcept;
  client& operator=(client&&) noexcept;
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  /// GET: the value, or none when the key does not exist.
  asio::awaitable<std::optional<std::string>> get(std::string_view key,
                                                  std::optional<std::chrono::milliseconds> timeout = {});

  /// GET and PTTL of one key in one round trip, and GET of `companion` with them when given
  /// (a key of the same slot, e.g. through a hash tag naming `key`).
  asio::awaitable<value_with_ttl> get_with_ttl(std::string_view key,
                                               std::optional<std::chrono::milliseconds> timeout = {},
                                               std::string_view companion = {});

  /// SET, with EX when `ex_seconds` is given (passed to Redis unchecked).
  asio::awaitable<void> set(std::string_view key, std::string_view value,
                            std::optional<std::int64_t> ex_seconds = {},
                            std::optional<std::chrono::milliseconds> timeout = {});

  /// DEL of one key: the number of keys removed (0 or 1). In a cluster, keys go to the node
  /// that serves their slot; commands without a key (`command` with one argument) to any primary.
  asio::awaitable<std::int64_t> del(std::string_view key);

  /// DEL of each key, one command per key, all sent back to back: one round trip (in a
  /// cluster, one per slot among the keys, side by side). The replies in the keys' order:
  /// integers (0 or 1), or error replies. A failed connection is raised once every group ended.
  asio::awaitable<std::vector<reply>> del_each(std::vector<std::string> keys);

  /// Keys of one group may travel together in one multi-key command (EVAL with several keys):
  /// in a cluster the group is the key's slot, on one server (or a Sentinel's primary) every
  /// key is in group 0.
  std::uint16_t key_group(std::string_view key) const;

  /// Each command sent to the server of its key: back to back, one round trip per server (per
  /// slot in a cluster), side by side. The replies in the commands' order, error replies as
  /// values; a failed connection is raised once every group ended. `timeout` bounds the whole call.
  asio::awaitable<std::vector<reply>> each(std::vector<keyed_command> commands,
                                           std::optional<std::chrono::milliseconds> timeout = {});

  /// Any command, sent to the server that holds `key` (for commands whose first argument is not
  /// their key: EVAL, XREAD, ...).
  asio::awaitable<reply> command_on(std::string_view key, std::vector<std::string> args,
                                    std::optional<std::chrono::milliseconds> timeout = {});

  /// Key-by-key walk over SCAN MATCH `match` COUNT `count`, starting at cursor "0".
  scanner scan_iter(std::string match, std::int64_t count);

  /// Any command. Error replies come back as values of type `reply_type::error`.
  asio::awaitable<reply> command(std::vector<std::string> args,
                                 std::optional<std::chrono::milliseconds> timeout = {});

  const options& settings() const;

 private:
  std::shared_ptr<detail::topology> live() const;

  std::shared_ptr<detail::topology> impl_;
};

}  // namespace clients::redis
