// Cache access that never fails a request: a failed read is a miss, a failed store is ignored,
// and while Redis stalls the cache is skipped instead of costing each request its bound.
#include "mapsvc/tile_gateway/module.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"

#include "host/cancellation.hpp"

#include "entry_index.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace mapsvc::tile_gateway {
namespace {

// How a failed call ended, for the breaker; `text` is what the warning line shows.
struct failure {
  bool timed_out = false;
  std::string text;
};

// Sorts a caught failure. The request's cancellation, and anything that is not an ordinary
// error, is rethrown after telling the breaker that this ticket will not be answered.
failure sort_failure(const std::exception_ptr& error, cache_breaker& breaker, const cache_breaker::ticket& ticket) {
  try {
    std::rethrow_exception(error);
  } catch (const clients::redis::timeout_error&) {
    return {true, ""};  // a time-out carries no text of its own
  } catch (const boost::system::system_error& e) {
    if (!host::is_cancellation(e)) return {false, e.what()};
    breaker.abandoned(ticket);
    throw;
  } catch (const std::exception& e) {
    return {false, e.what()};
  } catch (...) {
    breaker.abandoned(ticket);
    throw;
  }
}

}  // namespace

void tile_gateway_module::report(const cache_breaker::change& change, std::chrono::milliseconds bound) {
  using what = cache_breaker::change::what;
  // One line when the skipping starts and one when it ends: the calls in between are too
  // many to log one by one.
  if (change.kind == what::opened)
    logger->warn("Redis did not answer within {} ms: skipping the cache, probing Redis again in {} ms",
                 bound.count(), breaker.retry_after().count());
  else if (change.kind == what::closed)
    logger->warn("Redis no longer stalls: cache in use again after {} ms of skipping ({} calls skipped)",
                 change.skipped_for.count(), change.skipped_calls);
}

// Every cache call goes through here: the breaker decides whether Redis is asked at all, an
// ordinary failure becomes one warning line ("Cache {what} failed for {key}: {e}") and an
// empty result, and the request's own cancellation passes through.
template <typename T, typename Call>
boost::asio::awaitable<std::optional<T>> tile_gateway_module::guarded(const char* what, std::string_view key,
                                                                      std::chrono::milliseconds timeout, Call call) {
  const auto ticket = breaker.admit();
  if (ticket.skipped()) co_return std::nullopt;
  std::optional<T> value;
  std::exception_ptr error;
  try {
    value = co_await call();
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    report(breaker.succeeded(ticket), timeout);
    co_return value;
  }
  const auto failed = sort_failure(error, breaker, ticket);
  metrics.redis_errors.at().add();
  logger->warn("Cache {} failed for {}: {}", what, key, failed.text);
  report(failed.timed_out ? breaker.timed_out(ticket) : breaker.failed(ticket), timeout);
  co_return std::nullopt;
}

boost::asio::awaitable<std::optional<std::string>> tile_gateway_module::safe_cache_get(
    std::string_view key, std::chrono::milliseconds timeout) {
  auto value = co_await guarded<std::optional<std::string>>(
      "get", key, timeout, [&]() { return cache.get(key, timeout); });
  co_return value ? std::move(*value) : std::nullopt;
}

boost::asio::awaitable<void> tile_gateway_module::safe_cache_set(std::string_view key, std::string_view value,
                                                                 std::int64_t ttl, std::chrono::milliseconds timeout) {
  co_await store(key, value, ttl, timeout);
}

boost::asio::awaitable<bool> tile_gateway_module::store(std::string_view key, std::string_view value, std::int64_t ttl,
                                                        std::chrono::milliseconds timeout) {
  const auto done = co_await guarded<bool>("set", key, timeout, [&]() -> boost::asio::awaitable<bool> {
    co_await cache.set(key, value, ttl, timeout);
    co_return true;
  });
  co_return done.has_value();
}

boost::asio::awaitable<bool> tile_gateway_module::store_if_current(std::string_view key, std::string_view value,
                                                                   std::int64_t ttl, std::chrono::milliseconds timeout,
                                                                   const BinaryRedisCache::build_ticket& ticket) {
  const auto stored = co_await guarded<bool>("set", key, timeout, [&]() {
    return cache.set_if_current(key, value, ttl, ticket, timeout);
  });
  if (stored && !*stored) metrics.stale_stores_refused.at().add();
  co_return stored.value_or(false);
}

boost::asio::awaitable<std::optional<BinaryRedisCache::build_ticket>> tile_gateway_module::begin_build(
    std::string list, std::string_view key, std::int64_t ttl, std::chrono::milliseconds timeout) {
  // Named before the co_await: g++ 12 may destroy temporaries of a co_await expression twice.
  auto ask = [&]() { return cache.ticket_for(key, timeout, entry_index::add_command(list, key, ttl)); };
  co_return co_await guarded<BinaryRedisCache::build_ticket>("set", key, timeout, ask);
}

tile_lookup tile_gateway_module::remembered(std::string_view key) {
  // Memory answers only while Redis does: once a read has missed its bound, changes reported
  // by Redis may be late too, so memory waits until Redis answers again.
  if (memory && breaker.current() == cache_breaker::state::closed) {
    if (auto tile = memory->find(key)) return tile_lookup{cached_tile{std::move(tile), cache_level::memory}, {}};
  }
  return tile_lookup{};
}

boost::asio::awaitable<tile_lookup> tile_gateway_module::fetched(std::string_view key,
                                                                 std::chrono::milliseconds timeout) {
  const auto memory_ticket = memory ? memory->ticket() : 0;
  auto read = [&]() { return cache.get_with_ttl(key, timeout); };
  auto found = co_await guarded<clients::redis::value_with_ttl>("get", key, timeout, read);
  if (!found) co_return tile_lookup{};
  auto& value = *found;
  // An empty stored value counts as a miss.
  if (!value.value || value.value->empty()) co_return tile_lookup{std::nullopt, true};
  // Kept in memory, a tile is sent many times: `shared` lets the kernel send a large one.
  auto tile = memory && value.ttl ? host::http::representation::shared(std::move(*value.value))
                                  : std::make_shared<const host::http::representation>(std::move(*value.value));
  if (memory && value.ttl) memory->insert(std::string(key), tile, *value.ttl, memory_ticket);
  co_return tile_lookup{cached_tile{std::move(tile), cache_level::redis}, true};
}

boost::asio::awaitable<host::http::shared_representation> tile_gateway_module::keep(
    std::string_view key, std::string&& bytes, std::int64_t ttl, std::chrono::milliseconds timeout,
    const std::optional<BinaryRedisCache::build_ticket>& ticket) {
  auto tile = memory && ticket ? host::http::representation::shared(std::move(bytes))
                               : std::make_shared<const host::http::representation>(std::move(bytes));
  if (!ticket) co_return tile;
  if (!holds.empty()) {
    const auto address = parse_tile_key(key);
    if (address && holds.holds(address->first, address->second, store_holds::clock::now())) {
      metrics.stale_stores_refused.at().add();
      co_return tile;
    }
  }
  const auto memory_ticket = memory ? memory->ticket() : 0;
  const bool stored = co_await store_if_current(key, tile->bytes(), ttl, timeout, *ticket);
  if (stored && memory) memory->insert(std::string(key), tile, std::chrono::seconds(ttl), memory_ticket);
  co_return tile;
}

}  // namespace mapsvc::tile_gateway
