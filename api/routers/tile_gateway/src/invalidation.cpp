// Removing cached entries by layer, by pattern or all at once: SCAN MATCH ... COUNT 100 and
// one DEL per key, in the request or as a background task nobody waits for.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>

#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "host/cancellation.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {
namespace {

constexpr std::int64_t SCAN_COUNT = 100;

// The DELs of one page go out together (one DEL per key, back to back; in a cluster each
// slot's to its node) and are awaited together: a page costs one round trip, not one per key.
// Returns how many were answered; an error reply fails the walk.
boost::asio::awaitable<std::int64_t> delete_page(clients::redis::client& redis, std::vector<std::string> keys,
                                                 host::metrics::counter invalidated) {
  if (keys.empty()) co_return 0;
  const auto replies = co_await redis.del_each(std::move(keys));
  std::int64_t answered = 0;
  const clients::redis::reply* refused = nullptr;
  for (const auto& r : replies) {
    if (r.type == clients::redis::reply_type::integer) ++answered;
    else if (!refused) refused = &r;
  }
  invalidated.add(static_cast<std::uint64_t>(answered));
  if (refused) {
    if (refused->is_error()) throw clients::redis::reply_error(refused->str);
    throw clients::redis::error("unexpected reply type to DEL");
  }
  co_return answered;
}

// Deleted keys are counted as their DELs succeed, so that a scan that fails half-way still
// counts what it removed. A page's DELs and the SCAN for the next page travel together: the
// walk costs one round trip a page.
boost::asio::awaitable<std::int64_t> delete_matching(clients::redis::client& redis, std::string pattern,
                                                     host::metrics::counter invalidated) {
  using namespace boost::asio::experimental::awaitable_operators;
  std::int64_t deleted_count = 0;
  auto keys = redis.scan_iter(std::move(pattern), SCAN_COUNT);
  auto page = co_await keys.next_page();
  while (page) {
    std::vector<std::string> current = std::move(*page);
    // Built before the co_await: g++ 12 may destroy temporaries of a co_await expression twice.
    auto deletes_and_next = delete_page(redis, std::move(current), invalidated) && keys.next_page();
    auto [deleted, next] = co_await std::move(deletes_and_next);
    deleted_count += deleted;
    page = std::move(next);
  }
  co_return deleted_count;
}

}  // namespace

// Internal task for cache invalidation.
boost::asio::awaitable<std::int64_t> tile_gateway_module::_invalidate_layer_cache_task(std::string layer_name) {
  try {
    const auto deleted_count = co_await delete_matching(redis_client, layer_match_pattern(cache.cache_namespace, layer_name), metrics.invalidated_keys.at());
    logger->info("{}", layer_invalidation_log(layer_name, deleted_count));
    co_return deleted_count;
  } catch (const std::exception& e) {
    if (host::is_cancellation(e)) throw;
    logger->error("{}", layer_invalidation_failed_log(layer_name, e.what()));
  }
  co_return 0;
}

// Internal task for invalidating all cache.
boost::asio::awaitable<std::int64_t> tile_gateway_module::_invalidate_all_cache_task() {
  try {
    const auto deleted_count = co_await delete_matching(redis_client, namespace_match_pattern(cache.cache_namespace), metrics.invalidated_keys.at());
    logger->info("{}", all_invalidation_log(deleted_count));
    co_return deleted_count;
  } catch (const std::exception& e) {
    if (host::is_cancellation(e)) throw;
    logger->error("{}", all_invalidation_failed_log(e.what()));
  }
  co_return 0;
}

// Internal task for pattern-based cache invalidation.
boost::asio::awaitable<std::int64_t> tile_gateway_module::_invalidate_cache_by_pattern_task(std::string pattern) {
  try {
    const auto deleted_count = co_await delete_matching(redis_client, custom_match_pattern(cache.cache_namespace, pattern), metrics.invalidated_keys.at());
    logger->info("{}", pattern_invalidation_log(pattern, deleted_count));
    co_return deleted_count;
  } catch (const std::exception& e) {
    if (host::is_cancellation(e)) throw;
    logger->error("{}", pattern_invalidation_failed_log(pattern, e.what()));
  }
  co_return 0;
}

// The schedulers start a worker on the module's event loop and return at once; the spawned
// coroutine owns itself, so it runs to completion although nobody holds on to it.
void tile_gateway_module::invalidate_layer_cache(std::string layer_name) {
  boost::asio::co_spawn(executor, _invalidate_layer_cache_task(layer_name), boost::asio::detached);
  logger->debug("{}", layer_invalidation_scheduled_log(layer_name));
}

void tile_gateway_module::invalidate_all_cache() {
  boost::asio::co_spawn(executor, _invalidate_all_cache_task(), boost::asio::detached);
  logger->debug("{}", all_invalidation_scheduled_log());
}

void tile_gateway_module::invalidate_cache_by_pattern(std::string pattern) {
  boost::asio::co_spawn(executor, _invalidate_cache_by_pattern_task(pattern), boost::asio::detached);
  logger->debug("{}", pattern_invalidation_scheduled_log(pattern));
}

}  // namespace mapsvc::tile_gateway
