#include "plan_apply.hpp"

#include <algorithm>
#include <map>

#include "box_index.hpp"
#include "mapsvc/tile_gateway/constants.hpp"

namespace mapsvc::tile_gateway::detail {
namespace {

// Keys go to Redis this many at a time: one round trip each, memory bounded.
constexpr std::size_t KEYS_PER_ROUND = 512;
constexpr std::int64_t SCAN_COUNT = 1000;

boost::asio::awaitable<void> invalidate_keys(tile_gateway_module& m, const std::vector<std::string>& keys,
                                             pass_result& out) {
  if (keys.empty()) co_return;
  const auto replies = co_await m.cache.invalidate_each(keys);
  for (std::size_t i = 0; i < replies.size(); ++i) {
    const auto& r = replies[i];
    if (r.is_error()) throw clients::redis::reply_error(r.str);
    if (r.type == clients::redis::reply_type::integer && r.integer > 0) {
      ++out.deleted;
      out.evicted.push_back(keys[i]);
    }
  }
}

boost::asio::awaitable<void> invalidate_in_rounds(tile_gateway_module& m, const std::vector<std::string>& keys,
                                                 pass_result& out) {
  for (std::size_t at = 0; at < keys.size(); at += KEYS_PER_ROUND) {
    const auto first = keys.begin() + static_cast<std::ptrdiff_t>(at);
    const auto last = keys.begin() + static_cast<std::ptrdiff_t>(std::min(keys.size(), at + KEYS_PER_ROUND));
    const std::vector<std::string> round(first, last);
    co_await invalidate_keys(m, round, out);
  }
}

// Walks SCAN MATCH `pattern` and invalidates the keys `wanted` accepts (caller keys).
template <typename Wanted>
boost::asio::awaitable<void> walk(tile_gateway_module& m, std::string pattern, Wanted wanted, pass_result& out) {
  const std::string prefix = m.cache.cache_namespace + ":";
  auto scanner = m.redis_client.scan_iter(std::move(pattern), SCAN_COUNT);
  while (auto page = co_await scanner.next_page()) {
    std::vector<std::string> chosen;
    for (auto& full : *page) {
      if (!full.starts_with(prefix)) continue;
      std::string key = full.substr(prefix.size());
      if (wanted(std::string_view(key))) chosen.push_back(std::move(key));
    }
    co_await invalidate_keys(m, chosen, out);
  }
}

bool any_key(std::string_view) { return true; }

}  // namespace

boost::asio::awaitable<pass_result> apply_plan(tile_gateway_module& m, const invalidation_plan& plan) {
  pass_result out;
  co_await invalidate_in_rounds(m, plan.keys, out);
  const std::string prefix = m.cache.cache_namespace + ":";
  for (const auto& layer : plan.whole_layers) {
    co_await walk(m, prefix + layer + ":*", any_key, out);
    co_await walk(m, prefix + "bbox:" + layer + ":*", any_key, out);
  }
  // One walk per layer, whatever the number of its zooms to scan.
  std::map<std::string, std::map<int, std::vector<mercator_box>>> scans;
  for (const auto& s : plan.scans) {
    auto& boxes = scans[s.layer][s.z];
    boxes.insert(boxes.end(), s.boxes.begin(), s.boxes.end());
  }
  for (const auto& scan : scans) {
    const auto& zooms = scan.second;
    const auto meets = [&zooms](std::string_view key) {
      const auto tile = parse_tile_key(key);
      if (!tile) return false;
      const auto z = zooms.find(tile->second.z);
      return z != zooms.end() && tile_meets(tile->second, z->second);
    };
    co_await walk(m, prefix + scan.first + ":*", meets, out);
  }
  // Box tiles from their layers' lists.
  if (!plan.box_tiles.empty()) co_await box_index::complete(m.redis_client, m.cache.cache_namespace, CACHE_TTL_SHORT);
  for (const auto& box_tiles : plan.box_tiles) {
    const auto& layer = box_tiles.first;
    const auto& boxes = box_tiles.second;
    // A box key that does not read back is removed too: it cannot be shown to miss the edit.
    const auto meets = [&layer, &boxes](std::string_view key) {
      const auto box = parse_bbox_key(key, layer);
      return !box || box_tile_meets(*box, boxes);
    };
    auto listed = co_await box_index::listed(m.redis_client, m.cache.cache_namespace, layer);
    std::erase_if(listed, [&meets](const std::string& key) { return !meets(key); });
    co_await invalidate_in_rounds(m, listed, out);
  }
  if (m.metrics && out.deleted > 0) m.metrics->invalidated(out.deleted);
  co_return out;
}

}  // namespace mapsvc::tile_gateway::detail
