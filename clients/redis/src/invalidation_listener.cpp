#include "clients/redis/invalidation_listener.hpp"

#include <algorithm>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "clients/redis/errors.hpp"
#include "connection.hpp"
#include "topology.hpp"

namespace clients::redis {
namespace detail {

namespace {
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view channel = "__redis__:invalidate";
// How often a cluster's primaries are asked for while every one of them is tracked.
constexpr auto recheck_every = std::chrono::seconds(5);
}  // namespace

// One connection per server that holds keys: the one server (or the primary Sentinel names
// on each connect), or each primary of a cluster, which reports the changes of its own keys.
// Tracking holds only while every connection is tracking. In a cluster the primaries are
// asked for again when a connection is lost (a replica may have taken over) and every few
// seconds, and the connections follow.
class listener_state : public std::enable_shared_from_this<listener_state> {
 public:
  listener_state(asio::any_io_executor ex, options where, invalidation_listener::settings how,
                 invalidation_listener::callbacks calls)
      : executor_(std::move(ex)), where_(std::move(where)), how_(std::move(how)), calls_(std::move(calls)),
        wake_(executor_) {}

  void start() {
    if (!where_.is_cluster()) {
      listen_to({where_});
      return;
    }
    cluster_ = make_topology(executor_, where_);
    asio::co_spawn(executor_, follow_primaries(shared_from_this()), asio::detached);
  }

  void stop() {
    if (stopped_) return;
    stopped_ = true;
    tracking_ = false;  // told to nobody: no callback runs after stop()
    drop_servers();
    wake_.cancel();
    if (cluster_) cluster_->shutdown();
  }

  bool tracking() const { return tracking_; }

 private:
  struct server {
    server(const asio::any_io_executor& ex, options o) : where(std::move(o)), pause(ex) {}
    options where;
    asio::steady_timer pause;  // between connection attempts, and between pings
    std::shared_ptr<connection> conn;
    bool tracking = false;
    bool dropped = false;
  };

  static asio::awaitable<void> follow_primaries(std::shared_ptr<listener_state> self) {
    std::vector<address> primaries;
    while (!self->stopped_) {
      try {
        auto found = co_await self->cluster_->primaries(clock::now() + std::chrono::seconds(3), true);
        if (!self->stopped_ && found != primaries) {
          primaries = std::move(found);
          std::vector<options> each;
          for (const auto& primary : primaries) each.push_back(self->where_.at(primary));
          self->listen_to(std::move(each));
        }
      } catch (const std::exception&) {
        // No node answered: the connections keep trying their own servers meanwhile.
      }
      if (self->stopped_) break;
      self->wake_.expires_after(self->tracking_ ? recheck_every : self->how_.retry_delay);
      co_await self->wake_.async_wait(nothrow);
    }
  }

  void listen_to(std::vector<options> servers) {
    drop_servers();
    for (auto& where : servers) {
      servers_.push_back(std::make_shared<server>(executor_, std::move(where)));
      asio::co_spawn(executor_, keep_listening(shared_from_this(), servers_.back()), asio::detached);
    }
    update_tracking();
  }

  void drop_servers() {
    for (auto& s : servers_) {
      s->dropped = true;
      s->pause.cancel();
      if (s->conn) s->conn->close(std::make_exception_ptr(connection_error("invalidation listener stopped")));
    }
    servers_.clear();
  }

  static asio::awaitable<void> keep_listening(std::shared_ptr<listener_state> self, std::shared_ptr<server> s) {
    while (!s->dropped) {
      try {
        co_await self->listen(s);
      } catch (const std::exception&) {
        // Whatever ended the connection, the next one starts from scratch.
      }
      if (s->conn) s->conn->close(std::make_exception_ptr(connection_error("invalidation connection lost")));
      if (s->dropped) break;
      self->server_tracking(*s, false);
      s->pause.expires_after(self->how_.retry_delay);
      co_await s->pause.async_wait(nothrow);
    }
  }

  // Until subscribed Redis has the connect time-out to answer each step. Then a PING goes out
  // every interval, and the connection's watchdog drops it once Redis has been silent (no
  // message, no pong) for three.
  asio::awaitable<void> listen(std::shared_ptr<server> s) {
    const auto answer_by = connect_deadline(where_);
    options where = s->where;
    where.socket_timeout = 3 * how_.ping_interval;
    const auto on_push = [weak = weak_from_this()](reply& r) {
      const auto self = weak.lock();
      return self && self->take(r);
    };
    // The wait between pings ends when the connection does: tracking is lost at that moment.
    const auto on_close = [weak = std::weak_ptr<server>(s)] {
      if (const auto listened = weak.lock()) listened->pause.cancel();
    };
    s->conn = connection::open(executor_, where, on_push, on_close);
    const auto ask = [&](wire_command command) -> asio::awaitable<reply> {
      if (s->dropped) throw connection_error("invalidation listener stopped");
      auto req = std::make_shared<request>(executor_, answer_by);
      s->conn->send(std::move(command), req);
      co_return co_await req->wait("Redis did not answer the invalidation listener in time");
    };
    // Each command is built before its co_await: g++ 12 destroys temporaries of a co_await
    // expression twice.
    auto ask_id = command_of("CLIENT", "ID");
    const reply id = co_await ask(std::move(ask_id));
    if (id.type != reply_type::integer) throw connection_error("CLIENT ID failed: " + id.str);
    const std::string own_id = std::to_string(id.integer);
    auto track = command_of("CLIENT", "TRACKING", "on", "REDIRECT", own_id, "BCAST", "PREFIX", how_.prefix);
    const reply enabled = co_await ask(std::move(track));
    if (enabled.type != reply_type::status) throw reply_error("CLIENT TRACKING failed: " + enabled.str);
    auto subscribe = command_of("SUBSCRIBE", channel);
    const reply subscribed = co_await ask(std::move(subscribe));
    if (subscribed.type != reply_type::array) throw connection_error("SUBSCRIBE failed: " + subscribed.str);
    server_tracking(*s, true);

    while (!s->dropped && s->conn->alive()) {
      s->pause.expires_after(how_.ping_interval);
      co_await s->pause.async_wait(nothrow);
      if (s->dropped || !s->conn->alive()) break;
      s->conn->send(command_of("PING"), std::make_shared<request>(executor_, clock::time_point::max()));
    }
  }

  // ["message", "__redis__:invalidate", [key, ...] or nil] is a report; anything else (the
  // answers to the listener's own commands, ["pong", ""] among them) is not.
  bool take(reply& message) {
    if (message.type != reply_type::array || message.elements.size() != 3 || message.elements[0].str != "message")
      return false;
    if (stopped_ || message.elements[1].str != channel) return true;
    reply& payload = message.elements[2];
    if (payload.is_nil()) {
      if (calls_.on_flush) calls_.on_flush();
    } else if (payload.type == reply_type::array) {
      std::vector<std::string> keys;
      keys.reserve(payload.elements.size());
      for (auto& key : payload.elements) keys.push_back(std::move(key.str));
      if (calls_.on_keys) calls_.on_keys(std::move(keys));
    }
    return true;
  }

  void server_tracking(server& s, bool on) {
    if (s.dropped) return;
    s.tracking = on;
    update_tracking();
    if (!on && cluster_) wake_.cancel();  // that primary may have been replaced: look again now
  }

  void update_tracking() {
    const bool all = !servers_.empty() && std::all_of(servers_.begin(), servers_.end(), [](const auto& s) { return s->tracking; });
    if (all == tracking_ || stopped_) return;
    tracking_ = all;
    if (calls_.on_tracking) calls_.on_tracking(all);
  }

  asio::any_io_executor executor_;
  options where_;
  invalidation_listener::settings how_;
  invalidation_listener::callbacks calls_;
  std::shared_ptr<topology> cluster_;  // who a cluster's primaries are
  std::vector<std::shared_ptr<server>> servers_;
  asio::steady_timer wake_;
  bool tracking_ = false;
  bool stopped_ = false;
};

}  // namespace detail

invalidation_listener::invalidation_listener(asio::any_io_executor executor, options where, settings how,
                                             callbacks calls)
    : state_(std::make_shared<detail::listener_state>(std::move(executor), std::move(where), std::move(how),
                                                      std::move(calls))) {
  state_->start();
}

invalidation_listener::~invalidation_listener() { stop(); }

void invalidation_listener::stop() { state_->stop(); }

bool invalidation_listener::tracking() const { return state_->tracking(); }

}  // namespace clients::redis
