#pragma once
// The worker's in-memory tile cache in front of Redis: bounded in bytes, entries expire with
// the Redis copy they came from, and a scan of tiles seen once (a client panning over a whole
// region) cannot push out the tiles that many clients keep asking for.
//
// Eviction follows S3-FIFO: a new entry enters a small FIFO; if it is read again before it
// leaves that queue it moves on to the main FIFO, otherwise it is dropped and its key is
// remembered for a while (ghost), so that a key seen again soon goes straight to the main
// queue. The main queue gives entries that were read a second round. Lookups only set a
// counter, so a hit costs one hash lookup. One event loop uses a cache, so nothing is locked.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace mapsvc::tile_gateway {

template <typename Value>
class memory_cache {
 public:
  using clock = std::chrono::steady_clock;

  explicit memory_cache(std::size_t capacity_bytes) : capacity_(capacity_bytes) {}

  // The entry for `key` while it has not expired, else none (an expired entry is dropped).
  std::shared_ptr<const Value> find(std::string_view key, clock::time_point now = clock::now()) {
    const auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    auto& node = *it->second;
    if (node.expires <= now) {
      drop(it->second);
      return nullptr;
    }
    if (node.freq < 3) ++node.freq;
    return node.value;
  }

  // Stores `value` until `expires`, replacing an entry of the same key. `cost` is what the
  // entry counts against the capacity (its bytes); entries larger than an eighth of the whole
  // cache are not kept.
  void insert(std::string key, std::shared_ptr<const Value> value, std::size_t cost, clock::time_point expires) {
    erase(key);
    cost += key.size() + node_overhead;
    if (cost > capacity_ / 8) return;
    const bool seen_recently = ghost_set_.erase(key) > 0;
    auto& queue = seen_recently ? main_ : small_;
    queue.push_front(node{std::move(key), std::move(value), cost, expires, 0, seen_recently});
    index_.emplace(queue.front().key, queue.begin());
    (seen_recently ? main_bytes_ : small_bytes_) += cost;
    while (small_bytes_ + main_bytes_ > capacity_) evict_one();
  }

  void erase(std::string_view key) {
    if (const auto it = index_.find(key); it != index_.end()) drop(it->second);
  }

  void clear() {
    index_.clear();
    small_.clear();
    main_.clear();
    ghost_.clear();
    ghost_set_.clear();
    small_bytes_ = main_bytes_ = 0;
  }

  std::size_t bytes() const { return small_bytes_ + main_bytes_; }
  std::size_t entries() const { return index_.size(); }
  std::size_t capacity() const { return capacity_; }

 private:
  static constexpr std::size_t node_overhead = 160;  // list node, index entry, key, control block

  struct node {
    std::string key;
    std::shared_ptr<const Value> value;
    std::size_t cost;
    clock::time_point expires;
    std::uint8_t freq;
    bool in_main;
  };
  using queue_type = std::list<node>;

  struct string_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  void drop(typename queue_type::iterator it) {
    (it->in_main ? main_bytes_ : small_bytes_) -= it->cost;
    index_.erase(std::string_view(it->key));
    (it->in_main ? main_ : small_).erase(it);
  }

  void evict_one() {
    // The small queue keeps about a tenth of the space; beyond that it gives up its oldest.
    if (!small_.empty() && (small_bytes_ > capacity_ / 10 || main_.empty())) {
      auto oldest = std::prev(small_.end());
      if (oldest->freq > 0) {
        oldest->freq = 0;
        oldest->in_main = true;
        small_bytes_ -= oldest->cost;
        main_bytes_ += oldest->cost;
        main_.splice(main_.begin(), small_, oldest);
      } else {
        remember(oldest->key);
        drop(oldest);
      }
      return;
    }
    auto oldest = std::prev(main_.end());
    if (oldest->freq > 0) {
      --oldest->freq;
      main_.splice(main_.begin(), main_, oldest);
    } else {
      drop(oldest);
    }
  }

  void remember(const std::string& key) {
    // Keys are cheap beside tiles: four times as many ghosts as entries recognise a tile
    // that comes back after several passes of cold tiles through the cache.
    ghost_.push_back(key);
    ghost_set_.insert(key);
    while (ghost_.size() > std::max<std::size_t>(1024, 4 * index_.size())) {
      ghost_set_.erase(ghost_.front());
      ghost_.pop_front();
    }
  }

  std::size_t capacity_;
  queue_type small_, main_;
  std::size_t small_bytes_ = 0, main_bytes_ = 0;
  std::unordered_map<std::string_view, typename queue_type::iterator, string_hash, std::equal_to<>> index_;
  std::deque<std::string> ghost_;
  std::unordered_set<std::string> ghost_set_;
};

}  // namespace mapsvc::tile_gateway
