// Cache access that never fails a request: a failed read is a miss, a failed store is ignored,
// and while Redis stalls the cache is skipped instead of costing each request its bound.
#include "mapsvc/tile_gateway/module.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace mapsvc::tile_gateway {
namespace {

// The request's own cancellation passes through; everything else is swallowed.
bool is_cancellation(const boost::system::system_error& e) {
  return e.code() == boost::asio::error::operation_aborted;
}

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
    if (!is_cancellation(e)) return {false, e.what()};
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

boost::asio::awaitable<std::optional<std::string>> tile_gateway_module::safe_cache_get(
    std::string_view key, std::chrono::milliseconds timeout) {
  const auto ticket = breaker.admit();
  if (ticket.skipped()) co_return std::nullopt;
  std::optional<std::string> value;
  std::exception_ptr error;
  try {
    value = co_await cache.get(key, timeout);
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    report(breaker.succeeded(ticket), timeout);
    co_return value;
  }
  const auto failed = sort_failure(error, breaker, ticket);
  logger->warn("Cache get failed for {}: {}", key, failed.text);
  report(failed.timed_out ? breaker.timed_out(ticket) : breaker.failed(ticket), timeout);
  co_return std::nullopt;
}

boost::asio::awaitable<void> tile_gateway_module::safe_cache_set(std::string_view key, std::string_view value,
                                                                 std::int64_t ttl, std::chrono::milliseconds timeout) {
  const auto ticket = breaker.admit();
  if (ticket.skipped()) co_return;
  std::exception_ptr error;
  try {
    co_await cache.set(key, value, ttl, timeout);
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    report(breaker.succeeded(ticket), timeout);
    co_return;
  }
  const auto failed = sort_failure(error, breaker, ticket);
  logger->warn("Cache set failed for {}: {}", key, failed.text);
  report(failed.timed_out ? breaker.timed_out(ticket) : breaker.failed(ticket), timeout);
}

}  // namespace mapsvc::tile_gateway
