#pragma once
// The changes to the cached tiles, as batches in feed order, held for the event streams of
// open maps: a stream resumes from the last batch its client saw, or learns it fell too far
// behind and must reload everything.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

namespace mapsvc::tile_gateway {

// Where a layer's tiles changed: a box in EPSG:4326 and the zooms whose tiles it touched.
struct changed_area {
  std::string layer;
  double west, south, east, north;
  int minzoom, maxzoom;
};

// What one feed step changed. Positions increase from batch to batch.
struct change_batch {
  std::int64_t position;
  std::vector<changed_area> areas;
};

// The data line of a change event:
// {"position":N,"changes":[{"layer":"plots","bbox":[w,s,e,n],"minzoom":8,"maxzoom":20},...]}
std::string change_event_json(const change_batch& batch);

namespace detail {
struct hub_state;
}

// One per worker, used on its event loop only. Subscriptions share its state, so either may
// go first.
class change_hub {
 public:
  explicit change_hub(std::size_t keep = 1024);

  // Holds `batch` (letting go of the oldest beyond `keep`) and wakes every waiting
  // subscription. Throws std::invalid_argument when its position is not after
  // last_position(): streams would skip it.
  void publish(change_batch batch);

  // The batches after `after` still held, in order (none past the newest, also when `after`
  // is ahead of this hub); none at all when a batch after `after` was already let go, or
  // `after` is older than where this hub began (see start_at): that client missed changes.
  std::optional<std::vector<change_batch>> since(std::int64_t after) const;

  // The newest position held, or where the hub began (0 unless told) before any batch.
  std::int64_t last_position() const;

  // The feed this hub hears begins after `position` (e.g. a worker started after others had
  // published): older resume positions are refused by since(). Only before the first batch.
  void start_at(std::int64_t position);

  // A reader of the batches, counted while it lives; what an event stream holds.
  class subscription {
   public:
    subscription(const change_hub& hub, boost::asio::any_io_executor executor);
    ~subscription();
    subscription(const subscription&) = delete;
    subscription& operator=(const subscription&) = delete;

    // Waits until a batch after `after` is held (true at once when one already is) or
    // `timeout` passes (false). Cancellable: throws the cancellation like any Asio wait.
    boost::asio::awaitable<bool> wait(std::int64_t after, std::chrono::steady_clock::duration timeout);

    std::optional<std::vector<change_batch>> since(std::int64_t after) const;
    std::int64_t last_position() const;

   private:
    friend struct detail::hub_state;
    std::shared_ptr<detail::hub_state> state_;
    boost::asio::steady_timer timer_;
    bool woken_ = false;
  };

  std::shared_ptr<subscription> subscribe(boost::asio::any_io_executor executor) const {
    return std::make_shared<subscription>(*this, std::move(executor));
  }

  // Subscriptions alive now.
  std::size_t subscribers() const;

 private:
  std::shared_ptr<detail::hub_state> state_;
};

}  // namespace mapsvc::tile_gateway
