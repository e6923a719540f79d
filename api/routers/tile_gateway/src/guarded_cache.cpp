// Cache access that never fails a request: a failed read is a miss, a failed store is ignored.
#include "mapsvc/tile_gateway/module.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace mapsvc::tile_gateway {
namespace {

// The request's own cancellation passes through; everything else is swallowed.
bool is_cancellation(const boost::system::system_error& e) {
  return e.code() == boost::asio::error::operation_aborted;
}

}  // namespace

boost::asio::awaitable<std::optional<std::string>> tile_gateway_module::safe_cache_get(
    std::string_view key, std::chrono::milliseconds timeout) {
  std::string failure;
  try {
    co_return co_await cache.get(key, timeout);
  } catch (const clients::redis::timeout_error&) {
    failure = "";  // a time-out carries no text of its own
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    failure = e.what();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  logger->warn("Cache get failed for {}: {}", key, failure);
  co_return std::nullopt;
}

boost::asio::awaitable<void> tile_gateway_module::safe_cache_set(std::string_view key, std::string_view value,
                                                                 std::int64_t ttl) {
  try {
    co_await cache.set(key, value, ttl);
    co_return;
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    logger->warn("Cache set failed for {}: {}", key, e.what());
  } catch (const std::exception& e) {
    logger->warn("Cache set failed for {}: {}", key, e.what());
  }
}

}  // namespace mapsvc::tile_gateway
