#include "clients/redis/client.hpp"

#include <algorithm>
#include <array>
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

#include "client_impl.hpp"
#include "cluster_map.hpp"
#include "clients/redis/errors.hpp"
#include "wire.hpp"

namespace clients::redis {

namespace {

using detail::client_impl;
using detail::format_command;
using detail::key_slot;
using detail::wire_command;

// The typed calls below are free coroutines holding the shared state, never `this`: the
// awaitable may run after the client object is gone. Commands are formatted before the
// first suspension, so callers' string_views need not outlive the call expression.

[[noreturn]] void unexpected(const char* command, const reply& r) {
  if (r.is_error()) throw reply_error(r.str);
  throw error(std::string("unexpected reply type to ") + command);
}

// The slot of a key, where it decides the server: in a cluster.
std::optional<std::uint16_t> slot_of(const std::shared_ptr<client_impl>& impl, std::string_view key) {
  if (!impl->settings().is_cluster()) return std::nullopt;
  return key_slot(key);
}

asio::awaitable<std::optional<std::string>> run_get(std::shared_ptr<client_impl> impl, wire_command command,
                                                    std::optional<std::chrono::milliseconds> timeout,
                                                    std::optional<std::uint16_t> slot) {
  reply r = co_await client_impl::execute(std::move(impl), std::move(command), timeout, slot);
  if (r.type == reply_type::string) co_return std::move(r.str);
  if (r.is_nil()) co_return std::nullopt;
  unexpected("GET", r);
}

asio::awaitable<value_with_ttl> run_get_with_ttl(std::shared_ptr<client_impl> impl, std::vector<wire_command> commands,
                                                 std::optional<std::chrono::milliseconds> timeout,
                                                 std::optional<std::uint16_t> slot) {
  auto replies = co_await client_impl::execute_all(std::move(impl), std::move(commands), timeout, slot);
  value_with_ttl out;
  reply& value = replies[0];
  if (value.type == reply_type::string) out.value = std::move(value.str);
  else if (!value.is_nil()) unexpected("GET", value);
  const reply& ttl = replies[1];
  if (ttl.type != reply_type::integer) unexpected("PTTL", ttl);
  if (replies.size() > 2) {
    reply& companion = replies[2];
    if (companion.type == reply_type::string) out.companion = std::move(companion.str);
    else if (!companion.is_nil()) unexpected("GET", companion);
  }
  // -1: no expiry, -2: gone (expired between the two commands).
  if (ttl.integer >= 0) out.ttl = std::chrono::milliseconds(ttl.integer);
  else if (ttl.integer == -2) out.value.reset();
  co_return out;
}

asio::awaitable<void> run_set(std::shared_ptr<client_impl> impl, wire_command command,
                              std::optional<std::chrono::milliseconds> timeout, std::optional<std::uint16_t> slot) {
  reply r = co_await client_impl::execute(std::move(impl), std::move(command), timeout, slot);
  if (r.type != reply_type::status) unexpected("SET", r);
}

asio::awaitable<std::int64_t> run_del(std::shared_ptr<client_impl> impl, wire_command command,
                                      std::optional<std::uint16_t> slot) {
  reply r = co_await client_impl::execute(std::move(impl), std::move(command), std::nullopt, slot);
  if (r.type != reply_type::integer) unexpected("DEL", r);
  co_return r.integer;
}

// Commands each bound for the server of a slot (none: the one server), sent back to back per
// slot and awaited together: one round trip per group, the groups side by side. The replies
// in the commands' order; a failed connection is raised once every group ended.
asio::awaitable<std::vector<reply>> run_each(std::shared_ptr<client_impl> impl, std::vector<wire_command> commands,
                                             std::vector<std::optional<std::uint16_t>> slots) {
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
    auto group = client_impl::execute_all(impl, std::move(group_commands), std::nullopt, slot);
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

asio::awaitable<scan_page> run_scan(std::shared_ptr<client_impl> impl, wire_command command) {
  reply r = co_await client_impl::execute(std::move(impl), std::move(command), std::nullopt);
  co_return page_of(std::move(r));
}

asio::awaitable<scan_page> run_scan_at(std::shared_ptr<client_impl> impl, address holder, wire_command command) {
  reply r = co_await client_impl::execute_at(std::move(impl), std::move(holder), std::move(command));
  co_return page_of(std::move(r));
}

wire_command scan_command(std::string_view cursor, std::string_view match, std::int64_t count) {
  const std::string count_text = std::to_string(count);
  const std::array<std::string_view, 6> args{"SCAN", cursor, "MATCH", match, "COUNT", count_text};
  return format_command(args);
}

std::shared_ptr<client_impl> live(const std::shared_ptr<client_impl>& impl) {
  if (!impl) throw connection_error("Redis client is closed");
  return impl;
}

}  // namespace

client::client(asio::any_io_executor executor, options opts)
    : impl_(std::make_shared<client_impl>(std::move(executor), std::move(opts))) {}

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

asio::awaitable<std::optional<std::string>> client::get(std::string_view key,
                                                        std::optional<std::chrono::milliseconds> timeout) {
  const std::array<std::string_view, 2> args{"GET", key};
  auto impl = live(impl_);
  const auto slot = slot_of(impl, key);
  return run_get(std::move(impl), format_command(args), timeout, slot);
}

asio::awaitable<value_with_ttl> client::get_with_ttl(std::string_view key,
                                                     std::optional<std::chrono::milliseconds> timeout,
                                                     std::string_view companion) {
  const std::array<std::string_view, 2> get_args{"GET", key};
  const std::array<std::string_view, 2> ttl_args{"PTTL", key};
  std::vector<wire_command> commands;
  commands.push_back(format_command(get_args));
  commands.push_back(format_command(ttl_args));
  if (!companion.empty()) {
    const std::array<std::string_view, 2> companion_args{"GET", companion};
    commands.push_back(format_command(companion_args));
  }
  auto impl = live(impl_);
  const auto slot = slot_of(impl, key);
  return run_get_with_ttl(std::move(impl), std::move(commands), timeout, slot);
}

asio::awaitable<void> client::set(std::string_view key, std::string_view value,
                                  std::optional<std::int64_t> ex_seconds,
                                  std::optional<std::chrono::milliseconds> timeout) {
  auto impl = live(impl_);
  const auto slot = slot_of(impl, key);
  if (!ex_seconds) {
    const std::array<std::string_view, 3> args{"SET", key, value};
    return run_set(std::move(impl), format_command(args), timeout, slot);
  }
  const std::string seconds = std::to_string(*ex_seconds);
  const std::array<std::string_view, 5> args{"SET", key, value, "EX", seconds};
  return run_set(std::move(impl), format_command(args), timeout, slot);
}

asio::awaitable<std::int64_t> client::del(std::string_view key) {
  const std::array<std::string_view, 2> args{"DEL", key};
  auto impl = live(impl_);
  const auto slot = slot_of(impl, key);
  return run_del(std::move(impl), format_command(args), slot);
}

std::uint16_t client::key_group(std::string_view key) const { return slot_of(live(impl_), key).value_or(0); }

asio::awaitable<std::vector<reply>> client::del_each(std::vector<std::string> keys) {
  auto impl = live(impl_);
  std::vector<wire_command> commands;
  std::vector<std::optional<std::uint16_t>> slots;
  commands.reserve(keys.size());
  slots.reserve(keys.size());
  for (const auto& key : keys) {
    const std::array<std::string_view, 2> args{"DEL", key};
    commands.push_back(format_command(args));
    slots.push_back(slot_of(impl, key));
  }
  return run_each(std::move(impl), std::move(commands), std::move(slots));
}

asio::awaitable<std::vector<reply>> client::each(std::vector<keyed_command> commands) {
  auto impl = live(impl_);
  std::vector<wire_command> wire;
  std::vector<std::optional<std::uint16_t>> slots;
  wire.reserve(commands.size());
  slots.reserve(commands.size());
  for (const auto& c : commands) {
    const std::vector<std::string_view> views(c.args.begin(), c.args.end());
    wire.push_back(format_command(views));
    slots.push_back(slot_of(impl, c.key));
  }
  return run_each(std::move(impl), std::move(wire), std::move(slots));
}

asio::awaitable<reply> client::command_on(std::string_view key, std::vector<std::string> args,
                                          std::optional<std::chrono::milliseconds> timeout) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  auto impl = live(impl_);
  const auto slot = slot_of(impl, key);
  return client_impl::execute(std::move(impl), format_command(views), timeout, slot);
}

asio::awaitable<scan_page> client::scan(std::string_view cursor, std::string_view match, std::int64_t count) {
  return run_scan(live(impl_), scan_command(cursor, match, count));
}

scanner client::scan_iter(std::string match, std::int64_t count) {
  return scanner(live(impl_), std::move(match), count);
}

asio::awaitable<reply> client::command(std::vector<std::string> args,
                                       std::optional<std::chrono::milliseconds> timeout) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  auto impl = live(impl_);
  const auto slot = args.size() > 1 ? slot_of(impl, args[1]) : std::nullopt;
  return client_impl::execute(std::move(impl), format_command(views), timeout, slot);
}

const options& client::settings() const { return live(impl_)->settings(); }

scanner::scanner(std::shared_ptr<detail::client_impl> impl, std::string match, std::int64_t count)
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
    holders_ = co_await client_impl::key_holders(impl_);
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
  scan_page page = co_await run_scan_at(impl_, holders_.back(), scan_command(cursor_, match_, count_));
  cursor_ = std::move(page.cursor);
  finished_ = cursor_ == "0";
  page_.clear();
  pos_ = 0;
  co_return std::move(page.keys);
}

}  // namespace clients::redis
