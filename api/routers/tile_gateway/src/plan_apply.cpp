#include "plan_apply.hpp"

#include <algorithm>

#include "entry_index.hpp"
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

// Walks SCAN MATCH `pattern` and invalidates every key it finds.
boost::asio::awaitable<void> walk(tile_gateway_module& m, std::string pattern, pass_result& out) {
  const std::string prefix = m.cache.cache_namespace + ":";
  auto scanner = m.redis_client.scan_iter(std::move(pattern), SCAN_COUNT);
  while (auto page = co_await scanner.next_page()) {
    std::vector<std::string> chosen;
    for (auto& full : *page)
      if (full.starts_with(prefix)) chosen.push_back(full.substr(prefix.size()));
    co_await invalidate_keys(m, chosen, out);
  }
}

// The members of `list` that `wanted` accepts, invalidated.
template <typename Wanted>
boost::asio::awaitable<void> invalidate_listed(tile_gateway_module& m, const std::string& list, Wanted wanted,
                                               pass_result& out) {
  auto members = co_await entry_index::members(m.redis_client, list);
  std::erase_if(members, [&wanted](const std::string& key) { return !wanted(std::string_view(key)); });
  co_await invalidate_in_rounds(m, members, out);
}

// Each lookup costs the fewer of the tiles its boxes meet and the tiles cached at its zoom;
// box tiles are read from their layers' sets.
boost::asio::awaitable<void> look_up(tile_gateway_module& m, const invalidation_plan& plan, pass_result& out) {
  const auto& ns = m.cache.cache_namespace;
  const std::int64_t longest_tile_ttl = std::max<std::int64_t>(CACHE_TTL_LONG, m.stored_ttl(CACHE_TTL_LONG));
  co_await entry_index::complete(m.redis_client, ns, longest_tile_ttl, CACHE_TTL_SHORT);

  std::vector<std::string> lists;
  for (const auto& lookup : plan.lookups) lists.push_back(entry_index::tile_list(ns, lookup.layer, lookup.z));
  for (const auto& entry : plan.box_tiles) lists.push_back(entry_index::box_list(ns, entry.first));
  const auto cached = co_await entry_index::sizes(m.redis_client, lists);

  for (std::size_t i = 0; i < plan.lookups.size(); ++i) {
    if (cached[i] == 0) continue;  // nothing of that layer and zoom is cached
    const auto& lookup = plan.lookups[i];
    if (lookup.tiles && *lookup.tiles <= static_cast<std::uint64_t>(cached[i])) {
      if (const auto keys = lookup_keys(lookup)) {
        co_await invalidate_in_rounds(m, *keys, out);
        continue;
      }
    }
    const auto meets = [&lookup](std::string_view key) {
      const auto tile = parse_tile_key(key);
      return tile && tile->first == lookup.layer && tile->second.z == lookup.z && tile_meets(tile->second, lookup.boxes);
    };
    co_await invalidate_listed(m, lists[i], meets, out);
  }
  for (std::size_t j = 0; j < plan.box_tiles.size(); ++j) {
    const auto i = plan.lookups.size() + j;
    if (cached[i] == 0) continue;
    const auto& layer = plan.box_tiles[j].first;
    const auto& boxes = plan.box_tiles[j].second;
    // A box key that does not read back is removed too: it cannot be shown to miss the edit.
    const auto meets = [&layer, &boxes](std::string_view key) {
      const auto box = parse_bbox_key(key, layer);
      return !box || box_tile_meets(*box, boxes);
    };
    co_await invalidate_listed(m, lists[i], meets, out);
  }
}

}  // namespace

boost::asio::awaitable<pass_result> apply_plan(tile_gateway_module& m, const invalidation_plan& plan) {
  pass_result out;
  co_await invalidate_in_rounds(m, plan.keys, out);
  const std::string prefix = m.cache.cache_namespace + ":";
  for (const auto& layer : plan.whole_layers) {
    co_await walk(m, prefix + layer + ":*", out);
    co_await walk(m, prefix + "bbox:" + layer + ":*", out);
  }
  if (!plan.lookups.empty() || !plan.box_tiles.empty()) co_await look_up(m, plan, out);
  m.metrics.invalidated_keys.at().add(out.deleted);
  co_return out;
}

}  // namespace mapsvc::tile_gateway::detail
