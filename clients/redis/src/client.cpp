#include "clients/redis/client.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "clients/redis/errors.hpp"
#include "cluster_map.hpp"
#include "topology.hpp"
#include "wire.hpp"

namespace clients::redis {

namespace {

using detail::clock;
using detail::command_of;
using detail::topology;
using detail::wire_command;
using timeout_type = std::optional<std::chrono::milliseconds>;

[[noreturn]] void unexpected(const char* command, const reply& r) {
  if (r.is_error()) throw reply_error(r.str);
  throw error(std::string("unexpected reply type to ") + command);
}

// The slot of a key, where it decides the server: in a cluster.
std::optional<std::uint16_t> slot_of(const topology& t, std::string_view key) {
  if (!t.settings().is_cluster()) return std::nullopt;
  return detail::key_slot(key);
}

// Every call is a free coroutine holding the topology, never `this`: the awaitable may run
// after the client object is gone. The public functions format the commands before it starts,
// so callers' string_views need not outlive the call expression.
asio::awaitable<std::vector<reply>> send(std::shared_ptr<topology> t, std::vector<wire_command> commands,
                                         clock::time_point deadline, std::optional<std::uint16_t> slot) {
  co_return co_await t->execute_all(std::move(commands), deadline, slot);
}

// The commands of one slot, one round trip, their replies read by `read`.
template <typename Read>
auto send_then(std::shared_ptr<topology> t, std::optional<std::uint16_t> slot, std::vector<wire_command> commands,
               timeout_type timeout, Read read) -> asio::awaitable<decltype(read(std::declval<std::vector<reply>&>()))> {
  auto replies = co_await t->execute_all(std::move(commands), detail::deadline_after(timeout), slot);
  co_return read(replies);
}

template <typename... Args>
std::vector<wire_command> commands(Args&&... each) {
  std::vector<wire_command> out;
  (out.push_back(std::forward<Args>(each)), ...);
  return out;
}

std::optional<std::string> value_of(reply& r, const char* command) {
  if (r.type == reply_type::string) return std::move(r.str);
  if (!r.is_nil()) unexpected(command, r);
  return std::nullopt;
}

// Commands each bound for the server of a slot (none: the one server), sent back to back per
// slot and awaited together: one round trip per group, the groups side by side. The replies
// in the commands' order; a failed connection is raised once every group ended.
asio::awaitable<std::vector<reply>> run_each(std::shared_ptr<topology> impl, std::vector<wire_command> commands,
                                             std::vector<std::optional<std::uint16_t>> slots, clock::time_point deadline) {
  std::map<std::optional<std::uint16_t>, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < commands.size(); ++i) groups[slots[i]].push_back(i);
  struct state {
    state(const asio::any_io_executor& ex, std::size_t commands, std::size_t groups)
        : all_done(ex, asio::steady_timer::time_point::max()), replies(commands), left(groups) {}
    asio::steady_timer all_done;
    std::vector<reply> replies;
    std::size_t left;
    std::exception_ptr failure;
  };
  const auto ex = co_await asio::this_coro::executor;
  // Shared with the groups' coroutines, which may end after this one is gone.
  auto shared = std::make_shared<state>(ex, commands.size(), groups.size());
  for (auto& [slot, indexes] : groups) {
    std::vector<wire_command> group_commands;
    group_commands.reserve(indexes.size());
    for (const std::size_t i : indexes) group_commands.push_back(std::move(commands[i]));
    auto group = send(impl, std::move(group_commands), deadline, slot);
    asio::co_spawn(ex, std::move(group),
                   [shared, indexes = std::move(indexes)](std::exception_ptr error, std::vector<reply> replies) {
                     if (error) {
                       if (!shared->failure) shared->failure = error;
                     } else {
                       for (std::size_t k = 0; k < indexes.size() && k < replies.size(); ++k)
                         shared->replies[indexes[k]] = std::move(replies[k]);
                     }
                     if (--shared->left == 0) shared->all_done.cancel();
                   });
  }
  if (shared->left > 0) co_await shared->all_done.async_wait(asio::as_tuple(asio::use_awaitable));
  if (shared->left > 0) throw boost::system::system_error(asio::error::operation_aborted);
  if (shared->failure) std::rethrow_exception(shared->failure);
  co_return std::move(shared->replies);
}

// One page of SCAN: the cursor to continue from ("0" when the walk is over) and the keys.
struct scan_page {
  std::string cursor;
  std::vector<std::string> keys;
};

// SCAN answers [cursor, [key, ...]], the cursor as a bulk string.
scan_page page_of(reply r) {
  if (r.type != reply_type::array || r.elements.size() != 2 || r.elements[0].type != reply_type::string ||
      r.elements[1].type != reply_type::array)
    unexpected("SCAN", r);
  scan_page page;
  page.cursor = std::move(r.elements[0].str);
  page.keys.reserve(r.elements[1].elements.size());
  for (auto& key : r.elements[1].elements) {
    if (key.type != reply_type::string) unexpected("SCAN", r);
    page.keys.push_back(std::move(key.str));
  }
  return page;
}

}  // namespace

client::client(asio::any_io_executor executor, options opts)
    : impl_(detail::make_topology(std::move(executor), std::move(opts))) {}

client::~client() {
  if (impl_) impl_->shutdown();
}

client::client(client&&) noexcept = default;

client& client::operator=(client&& other) noexcept {
  if (this != &other) {
    if (impl_) impl_->shutdown();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

std::shared_ptr<topology> client::live() const {
  if (!impl_) throw connection_error("Redis client is closed");
  return impl_;
}

asio::awaitable<std::optional<std::string>> client::get(std::string_view key, timeout_type timeout) {
  auto t = live();
  const auto slot = slot_of(*t, key);
  return send_then(std::move(t), slot, commands(command_of("GET", key)), timeout,
                  [](std::vector<reply>& r) { return value_of(r[0], "GET"); });
}

asio::awaitable<value_with_ttl> client::get_with_ttl(std::string_view key, timeout_type timeout,
                                                     std::string_view companion) {
  auto wanted = commands(command_of("GET", key), command_of("PTTL", key));
  if (!companion.empty()) wanted.push_back(command_of("GET", companion));
  auto t = live();
  const auto slot = slot_of(*t, key);
  return send_then(std::move(t), slot, std::move(wanted), timeout, [](std::vector<reply>& r) {
    value_with_ttl out;
    out.value = value_of(r[0], "GET");
    if (r[1].type != reply_type::integer) unexpected("PTTL", r[1]);
    if (r.size() > 2) out.companion = value_of(r[2], "GET");
    // -1: no expiry, -2: gone (expired between the two commands).
    if (r[1].integer >= 0) out.ttl = std::chrono::milliseconds(r[1].integer);
    else if (r[1].integer == -2) out.value.reset();
    return out;
  });
}

asio::awaitable<void> client::set(std::string_view key, std::string_view value, std::optional<std::int64_t> ex_seconds,
                                  timeout_type timeout) {
  auto command = ex_seconds ? command_of("SET", key, value, "EX", std::to_string(*ex_seconds))
                            : command_of("SET", key, value);
  auto t = live();
  const auto slot = slot_of(*t, key);
  return send_then(std::move(t), slot, commands(std::move(command)), timeout, [](std::vector<reply>& r) {
    if (r[0].type != reply_type::status) unexpected("SET", r[0]);
  });
}

asio::awaitable<std::int64_t> client::del(std::string_view key) {
  auto t = live();
  const auto slot = slot_of(*t, key);
  return send_then(std::move(t), slot, commands(command_of("DEL", key)), std::nullopt, [](std::vector<reply>& r) {
    if (r[0].type != reply_type::integer) unexpected("DEL", r[0]);
    return r[0].integer;
  });
}

std::uint16_t client::key_group(std::string_view key) const { return slot_of(*live(), key).value_or(0); }

asio::awaitable<std::vector<reply>> client::del_each(std::vector<std::string> keys) {
  std::vector<keyed_command> dels;
  dels.reserve(keys.size());
  for (auto& key : keys) dels.push_back({key, {"DEL", std::move(key)}});
  return each(std::move(dels));
}

asio::awaitable<std::vector<reply>> client::each(std::vector<keyed_command> commands, timeout_type timeout) {
  auto t = live();
  std::vector<wire_command> wire;
  std::vector<std::optional<std::uint16_t>> slots;
  wire.reserve(commands.size());
  slots.reserve(commands.size());
  for (const auto& c : commands) {
    const std::vector<std::string_view> views(c.args.begin(), c.args.end());
    wire.push_back(detail::format_command(views));
    slots.push_back(slot_of(*t, c.key));
  }
  return run_each(std::move(t), std::move(wire), std::move(slots), detail::deadline_after(timeout));
}

asio::awaitable<reply> client::command_on(std::string_view key, std::vector<std::string> args, timeout_type timeout) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  auto t = live();
  const auto slot = slot_of(*t, key);
  return send_then(std::move(t), slot, commands(detail::format_command(views)), timeout,
                  [](std::vector<reply>& r) { return std::move(r[0]); });
}

scanner client::scan_iter(std::string match, std::int64_t count) { return scanner(live(), std::move(match), count); }

asio::awaitable<reply> client::command(std::vector<std::string> args, timeout_type timeout) {
  auto t = live();
  const auto slot = args.size() > 1 ? slot_of(*t, args[1]) : std::nullopt;
  const std::vector<std::string_view> views(args.begin(), args.end());
  return send_then(std::move(t), slot, commands(detail::format_command(views)), timeout,
                   [](std::vector<reply>& r) { return std::move(r[0]); });
}

const options& client::settings() const { return live()->settings(); }

scanner::scanner(std::shared_ptr<detail::topology> impl, std::string match, std::int64_t count)
    : impl_(std::move(impl)), match_(std::move(match)), count_(count) {}

asio::awaitable<std::optional<std::string>> scanner::next() {
  while (pos_ == page_.size()) {
    auto page = co_await next_page();
    if (!page) co_return std::nullopt;
    page_ = std::move(*page);
    pos_ = 0;
  }
  co_return std::move(page_[pos_++]);
}

asio::awaitable<std::optional<std::vector<std::string>>> scanner::next_page() {
  if (pos_ < page_.size()) {
    std::vector<std::string> rest(std::make_move_iterator(page_.begin() + static_cast<std::ptrdiff_t>(pos_)),
                                  std::make_move_iterator(page_.end()));
    page_.clear();
    pos_ = 0;
    co_return rest;
  }
  if (!started_) {
    holders_ = co_await impl_->primaries(detail::connect_deadline(impl_->settings()));
    std::reverse(holders_.begin(), holders_.end());  // walked from the back
    started_ = true;
  }
  if (finished_) {
    // This server's walk is over: on to the next, if any.
    if (holders_.size() <= 1) co_return std::nullopt;
    holders_.pop_back();
    cursor_ = "0";
    finished_ = false;
  }
  const std::string count = std::to_string(count_);
  auto command = detail::command_of("SCAN", cursor_, "MATCH", match_, "COUNT", count);
  scan_page page = page_of(co_await impl_->execute_at(holders_.back(), std::move(command), clock::time_point::max()));
  cursor_ = std::move(page.cursor);
  finished_ = cursor_ == "0";
  page_.clear();
  pos_ = 0;
  co_return std::move(page.keys);
}

}  // namespace clients::redis
