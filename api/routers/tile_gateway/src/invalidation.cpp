// Removing cached entries by layer, by pattern or all at once: SCAN MATCH ... COUNT 100 and
// one DEL per key, in the request or as a background task nobody waits for.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/messages.hpp"
#include "host/cancellation.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {
namespace {

constexpr std::int64_t SCAN_COUNT = 100;

// The DELs of one page go out together (pipelined on the connection; in a cluster each to its
// key's node) and are awaited together: a page costs one round trip, not one per key. Returns
// how many succeeded; the first failure is rethrown after all have ended.
boost::asio::awaitable<std::int64_t> delete_page(clients::redis::client& redis, const std::vector<std::string>& keys,
                                                 host::metrics::recorder* metrics) {
  if (keys.empty()) co_return 0;
  struct page_state {
    explicit page_state(const boost::asio::any_io_executor& ex, std::size_t n) : all_done(ex), left(n) {}
    boost::asio::steady_timer all_done;
    std::size_t left;
    std::int64_t deleted = 0;
    std::exception_ptr first_error;
  };
  const auto ex = co_await boost::asio::this_coro::executor;
  auto state = std::make_shared<page_state>(ex, keys.size());
  state->all_done.expires_at(boost::asio::steady_timer::time_point::max());
  for (const auto& key : keys) {
    // Each call holds the client's shared state, so a DEL still running when its page's
    // awaiter is gone ends harmlessly.
    boost::asio::co_spawn(ex, redis.del(key), [state, metrics](std::exception_ptr error, std::int64_t) {
      if (error) {
        if (!state->first_error) state->first_error = error;
      } else {
        ++state->deleted;
        if (metrics) metrics->invalidated(1);
      }
      if (--state->left == 0) state->all_done.cancel();
    });
  }
  if (state->left > 0) co_await state->all_done.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
  if (state->first_error) std::rethrow_exception(state->first_error);
  co_return state->deleted;
}

// Deleted keys are counted as their DELs succeed, so that a scan that fails half-way still
// counts what it removed.
boost::asio::awaitable<std::int64_t> delete_matching(clients::redis::client& redis, std::string pattern,
                                                     host::metrics::recorder* metrics) {
  std::int64_t deleted_count = 0;
  auto keys = redis.scan_iter(std::move(pattern), SCAN_COUNT);
  while (auto page = co_await keys.next_page()) deleted_count += co_await delete_page(redis, *page, metrics);
  co_return deleted_count;
}

}  // namespace

// Internal task for cache invalidation.
boost::asio::awaitable<std::int64_t> tile_gateway_module::_invalidate_layer_cache_task(std::string layer_name) {
  try {
    const auto deleted_count = co_await delete_matching(redis_client, layer_match_pattern(cache.cache_namespace, layer_name), metrics);
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
    const auto deleted_count = co_await delete_matching(redis_client, namespace_match_pattern(cache.cache_namespace), metrics);
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
    const auto deleted_count = co_await delete_matching(redis_client, custom_match_pattern(cache.cache_namespace, pattern), metrics);
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
