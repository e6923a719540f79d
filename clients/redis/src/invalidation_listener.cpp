#include "clients/redis/invalidation_listener.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "clients/redis/errors.hpp"
#include "cluster_map.hpp"
#include "dial.hpp"
#include "request.hpp"
#include "wire.hpp"

namespace clients::redis {
namespace detail {

namespace {
using tcp = asio::ip::tcp;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view channel = "__redis__:invalidate";
}  // namespace

class listener_state : public std::enable_shared_from_this<listener_state> {
 public:
  listener_state(asio::any_io_executor ex, options where, invalidation_listener::settings how,
                 invalidation_listener::callbacks calls)
      : executor_(std::move(ex)), where_(std::move(where)), how_(std::move(how)), calls_(std::move(calls)),
        pause_(executor_) {}

  static asio::awaitable<void> run(std::shared_ptr<listener_state> self) {
    while (!self->stopped_) {
      try {
        co_await self->session();
      } catch (const std::exception&) {
        // Whatever ended the connection, the next one starts from scratch.
      }
      self->close();
      if (self->stopped_) break;
      self->set_tracking(false);
      self->pause_.expires_after(self->how_.retry_delay);
      co_await self->pause_.async_wait(nothrow);
    }
  }

  void stop() {
    if (stopped_) return;
    stopped_ = true;
    close();
    pause_.cancel();
  }

  bool tracking() const { return tracking_; }

 private:
  using clock = std::chrono::steady_clock;

  // One connection's socket and when Redis was last heard on it; the watchdog closes the
  // socket when Redis stays silent too long, which ends the reader's wait.
  struct link {
    explicit link(const asio::any_io_executor& ex) : socket(ex) {}
    tcp::socket socket;
    clock::time_point last_heard = clock::now();
    bool subscribed = false;
    bool closed = false;
  };

  void close() {
    if (!link_ || link_->closed) return;
    link_->closed = true;
    boost::system::error_code ignored;
    link_->socket.close(ignored);
  }

  void set_tracking(bool on) {
    if (tracking_ == on || stopped_) return;
    tracking_ = on;
    if (calls_.on_tracking) calls_.on_tracking(on);
  }

  template <typename... Args>
  static wire_command command_of(const Args&... args) {
    const std::array<std::string_view, sizeof...(Args)> parts{std::string_view(args)...};
    return format_command(parts);
  }

  // Callers build the command first: g++ 12 destroys temporaries of a co_await expression twice.
  static asio::awaitable<void> send(std::shared_ptr<link> l, const wire_command& command) {
    auto [ec, n] = co_await asio::async_write(l->socket, asio::buffer(command.data(), command.size()), nothrow);
    if (ec) throw connection_error("invalidation connection lost: " + ec.message());
  }

  asio::awaitable<reply> next_reply() {
    while (true) {
      if (auto r = parser_->next()) co_return std::move(*r);
      auto [ec, n] = co_await link_->socket.async_read_some(asio::buffer(buffer_), nothrow);
      if (stopped_) throw connection_error("stopped");
      if (ec) throw connection_error("invalidation connection lost: " + ec.message());
      link_->last_heard = clock::now();
      parser_->feed(buffer_.data(), n);
    }
  }

  // Until subscribed: Redis has the connect time-out to answer. Then a PING every interval,
  // and a connection silent for three intervals (no message, no pong) is closed.
  static asio::awaitable<void> watch(std::shared_ptr<listener_state> self, std::shared_ptr<link> l) {
    asio::steady_timer tick(self->executor_);
    const auto ping = command_of("PING");
    while (!l->closed) {
      tick.expires_after(l->subscribed ? self->how_.ping_interval : std::chrono::milliseconds(50));
      co_await tick.async_wait(nothrow);
      if (l->closed) break;
      const auto silence = clock::now() - l->last_heard;
      const auto limit = l->subscribed ? 3 * self->how_.ping_interval : self->where_.connect_timeout;
      if (silence > limit) {
        l->closed = true;
        boost::system::error_code ignored;
        l->socket.close(ignored);
        break;
      }
      if (!l->subscribed) continue;
      try {
        co_await send(l, ping);
      } catch (const std::exception&) {
        break;  // the reader sees the same failure
      }
    }
  }

  asio::awaitable<void> session() {
    parser_ = std::make_unique<reply_parser>();
    link_ = std::make_shared<link>(executor_);
    asio::co_spawn(executor_, watch(shared_from_this(), link_), asio::detached);
    {
      const auto limit = where_.connect_timeout.count() > 0 ? std::optional(where_.connect_timeout) : std::nullopt;
      asio::steady_timer bound(executor_, deadline_after(limit));
      const address server = co_await locate_server(executor_, where_, bound);
      auto socket = co_await dial(executor_, server, bound);
      if (where_.uses_sentinels()) co_await confirm_primary(socket, server, bound);
      if (stopped_ || link_->closed) throw connection_error("stopped");
      link_->socket = std::move(socket);
    }

    const auto ask_id = command_of("CLIENT", "ID");
    co_await send(link_, ask_id);
    const reply id = co_await next_reply();
    if (id.type != reply_type::integer) throw connection_error("CLIENT ID failed: " + id.str);
    const std::string own_id = std::to_string(id.integer);
    const auto track = command_of("CLIENT", "TRACKING", "on", "REDIRECT", own_id, "BCAST", "PREFIX", how_.prefix);
    co_await send(link_, track);
    const reply enabled = co_await next_reply();
    if (enabled.type != reply_type::status) throw reply_error("CLIENT TRACKING failed: " + enabled.str);
    const auto subscribe = command_of("SUBSCRIBE", channel);
    co_await send(link_, subscribe);
    const reply subscribed = co_await next_reply();
    if (subscribed.type != reply_type::array) throw connection_error("SUBSCRIBE failed: " + subscribed.str);
    link_->subscribed = true;
    set_tracking(true);

    while (!stopped_) handle(co_await next_reply());
  }

  // ["message", "__redis__:invalidate", [key, ...] or nil]; PING answers ["pong", ""].
  void handle(reply message) {
    if (message.type != reply_type::array || message.elements.size() != 3) return;
    if (message.elements[0].str != "message" || message.elements[1].str != channel) return;
    reply& payload = message.elements[2];
    if (payload.is_nil()) {
      if (calls_.on_flush) calls_.on_flush();
      return;
    }
    if (payload.type != reply_type::array) return;
    std::vector<std::string> keys;
    keys.reserve(payload.elements.size());
    for (auto& key : payload.elements) keys.push_back(std::move(key.str));
    if (calls_.on_keys) calls_.on_keys(std::move(keys));
  }

  asio::any_io_executor executor_;
  options where_;
  invalidation_listener::settings how_;
  invalidation_listener::callbacks calls_;
  std::shared_ptr<link> link_;
  asio::steady_timer pause_;
  std::unique_ptr<reply_parser> parser_;
  std::array<char, 16 * 1024> buffer_{};
  bool tracking_ = false;
  bool stopped_ = false;
};

// In a Redis Cluster each primary reports the changes of its own keys, so there is one
// listener per primary, and the cluster is tracked only while all of them are. When one of
// them loses its connection the primaries are asked for again (a replica may have taken over),
// and the listeners follow; the set is also checked every few seconds.
class cluster_listener_state : public std::enable_shared_from_this<cluster_listener_state> {
 public:
  cluster_listener_state(asio::any_io_executor ex, options where, invalidation_listener::settings how,
                         invalidation_listener::callbacks calls)
      : executor_(std::move(ex)), where_(std::move(where)), how_(std::move(how)), calls_(std::move(calls)),
        wake_(executor_) {}

  static asio::awaitable<void> run(std::shared_ptr<cluster_listener_state> self) {
    while (!self->stopped_) {
      std::optional<std::vector<address>> found;
      try {
        found = co_await self->discover();
      } catch (const std::exception&) {
        // No node answered: the listeners keep trying their own servers meanwhile.
      }
      if (self->stopped_) break;
      if (found && *found != self->primaries_) self->follow(std::move(*found));
      self->wake_.expires_after(self->tracking_ ? recheck_every : self->how_.retry_delay);
      co_await self->wake_.async_wait(nothrow);
    }
  }

  void stop() {
    if (stopped_) return;
    stopped_ = true;
    for (auto& sub : subs_) sub->stop();
    subs_.clear();
    wake_.cancel();
  }

  bool tracking() const { return tracking_; }

 private:
  static constexpr auto recheck_every = std::chrono::seconds(5);
  static constexpr auto ask_one_node = std::chrono::seconds(1);

  asio::awaitable<std::vector<address>> discover() {
    std::vector<address> candidates = primaries_;
    candidates.insert(candidates.end(), where_.cluster_nodes.begin(), where_.cluster_nodes.end());
    const std::array<std::string_view, 2> args{"CLUSTER", "SLOTS"};
    const wire_command question = format_command(args);
    for (const auto& candidate : candidates) {
      try {
        asio::steady_timer bound(executor_, clock::now() + ask_one_node);
        auto socket = co_await dial(executor_, candidate, bound);
        const reply answer = co_await exchange(socket, question, bound);
        if (!answer.is_error()) co_return slot_map::from_cluster_slots(answer, candidate).primaries();
      } catch (const std::exception&) {
      }
      if (stopped_) break;
    }
    throw connection_error("no node of the Redis Cluster told its slots");
  }

  void follow(std::vector<address> primaries) {
    for (auto& sub : subs_) sub->stop();
    subs_.clear();
    primaries_ = std::move(primaries);
    sub_tracking_.assign(primaries_.size(), false);
    for (std::size_t i = 0; i < primaries_.size(); ++i) {
      options one = where_;
      one.host = primaries_[i].host;
      one.port = primaries_[i].port;
      one.cluster_nodes.clear();
      one.sentinels.clear();
      const std::weak_ptr<cluster_listener_state> weak = weak_from_this();
      invalidation_listener::callbacks relay;
      relay.on_keys = [weak](std::vector<std::string> keys) {
        if (auto self = weak.lock(); self && !self->stopped_ && self->calls_.on_keys) self->calls_.on_keys(std::move(keys));
      };
      relay.on_flush = [weak] {
        if (auto self = weak.lock(); self && !self->stopped_ && self->calls_.on_flush) self->calls_.on_flush();
      };
      relay.on_tracking = [weak, i](bool on) {
        if (auto self = weak.lock(); self && !self->stopped_) self->sub_tracking(i, on);
      };
      auto sub = std::make_shared<listener_state>(executor_, std::move(one), how_, std::move(relay));
      asio::co_spawn(executor_, listener_state::run(sub), asio::detached);
      subs_.push_back(std::move(sub));
    }
    update_tracking();
  }

  void sub_tracking(std::size_t index, bool on) {
    if (index >= sub_tracking_.size()) return;
    sub_tracking_[index] = on;
    update_tracking();
    if (!on) wake_.cancel();  // that primary may have been replaced: look again now
  }

  void update_tracking() {
    const bool all = !sub_tracking_.empty() && std::all_of(sub_tracking_.begin(), sub_tracking_.end(), [](bool b) { return b; });
    if (all == tracking_) return;
    tracking_ = all;
    if (calls_.on_tracking) calls_.on_tracking(all);
  }

  asio::any_io_executor executor_;
  options where_;
  invalidation_listener::settings how_;
  invalidation_listener::callbacks calls_;
  asio::steady_timer wake_;
  std::vector<address> primaries_;
  std::vector<std::shared_ptr<listener_state>> subs_;
  std::vector<bool> sub_tracking_;
  bool tracking_ = false;
  bool stopped_ = false;
};

}  // namespace detail

invalidation_listener::invalidation_listener(asio::any_io_executor executor, options where, settings how,
                                             callbacks calls) {
  if (where.is_cluster()) {
    cluster_ = std::make_shared<detail::cluster_listener_state>(executor, std::move(where), std::move(how), std::move(calls));
    asio::co_spawn(executor, detail::cluster_listener_state::run(cluster_), asio::detached);
    return;
  }
  state_ = std::make_shared<detail::listener_state>(executor, std::move(where), std::move(how), std::move(calls));
  asio::co_spawn(executor, detail::listener_state::run(state_), asio::detached);
}

invalidation_listener::~invalidation_listener() { stop(); }

void invalidation_listener::stop() {
  if (state_) state_->stop();
  if (cluster_) cluster_->stop();
}

bool invalidation_listener::tracking() const { return state_ ? state_->tracking() : cluster_->tracking(); }

}  // namespace clients::redis
