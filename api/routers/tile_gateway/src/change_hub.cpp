#include "mapsvc/tile_gateway/change_hub.hpp"

#include <algorithm>
#include <stdexcept>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

namespace mapsvc::tile_gateway {

namespace detail {

struct hub_state {
  std::size_t keep;
  std::deque<change_batch> held;
  // Every batch after this position that reached the hub is held: the last one let go, or
  // where the hub began.
  std::int64_t floor = 0;
  std::size_t subscribers = 0;
  std::vector<change_hub::subscription*> waiting;

  std::int64_t last_position() const { return held.empty() ? floor : held.back().position; }

  std::optional<std::vector<change_batch>> since(std::int64_t after) const {
    if (after < floor) return std::nullopt;
    const auto first = std::upper_bound(held.begin(), held.end(), after,
                                        [](std::int64_t p, const change_batch& b) { return p < b.position; });
    return std::vector<change_batch>(first, held.end());
  }

  void wake_all() {
    for (auto* s : waiting) {
      s->woken_ = true;
      s->timer_.cancel();
    }
    waiting.clear();
  }

  void forget(const change_hub::subscription* s) { std::erase(waiting, s); }
};

}  // namespace detail

std::string change_event_json(const change_batch& batch) {
  auto changes = nlohmann::ordered_json::array();
  for (const auto& a : batch.areas) {
    nlohmann::ordered_json item;
    item["layer"] = a.layer;
    item["bbox"] = {a.west, a.south, a.east, a.north};
    item["minzoom"] = a.minzoom;
    item["maxzoom"] = a.maxzoom;
    changes.push_back(std::move(item));
  }
  nlohmann::ordered_json body;
  body["position"] = batch.position;
  body["changes"] = std::move(changes);
  // Compact, so that the event's data stays on one line.
  return body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

change_hub::change_hub(std::size_t keep) : state_(std::make_shared<detail::hub_state>()) {
  state_->keep = std::max<std::size_t>(keep, 1);
}

void change_hub::publish(change_batch batch) {
  auto& s = *state_;
  if (batch.position <= s.last_position())
    throw std::invalid_argument("change batch " + std::to_string(batch.position) + " is not after " +
                                std::to_string(s.last_position()));
  s.held.push_back(std::move(batch));
  while (s.held.size() > s.keep) {
    s.floor = s.held.front().position;
    s.held.pop_front();
  }
  s.wake_all();
}

std::optional<std::vector<change_batch>> change_hub::since(std::int64_t after) const { return state_->since(after); }

std::int64_t change_hub::last_position() const { return state_->last_position(); }

void change_hub::start_at(std::int64_t position) {
  if (!state_->held.empty()) throw std::logic_error("change_hub::start_at after the first batch");
  state_->floor = position;
}

std::size_t change_hub::subscribers() const { return state_->subscribers; }

change_hub::subscription::subscription(const change_hub& hub, boost::asio::any_io_executor executor)
    : state_(hub.state_), timer_(std::move(executor)) {
  ++state_->subscribers;
}

change_hub::subscription::~subscription() {
  state_->forget(this);
  --state_->subscribers;
}

boost::asio::awaitable<bool> change_hub::subscription::wait(std::int64_t after,
                                                            std::chrono::steady_clock::duration timeout) {
  if (state_->last_position() > after) co_return true;
  woken_ = false;
  timer_.expires_after(timeout);
  state_->waiting.push_back(this);
  // Off the list however the wait ends, a cancellation included.
  struct unlisted {
    detail::hub_state& state;
    const subscription* self;
    ~unlisted() { state.forget(self); }
  } guard{*state_, this};
  const auto [ec] = co_await timer_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
  if (woken_) co_return true;
  if (ec) throw boost::system::system_error(ec);
  co_return false;
}

std::optional<std::vector<change_batch>> change_hub::subscription::since(std::int64_t after) const {
  return state_->since(after);
}

std::int64_t change_hub::subscription::last_position() const { return state_->last_position(); }

}  // namespace mapsvc::tile_gateway
