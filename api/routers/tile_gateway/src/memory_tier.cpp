#include "mapsvc/tile_gateway/memory_tier.hpp"

namespace mapsvc::tile_gateway {
namespace {

constexpr auto report_memory = std::chrono::seconds(10);
// What an entry costs beyond its bytes: the representation, its tag, the gzip copy made later
// (about half the tile) is charged up front so that the cache stays within its bound.
constexpr double gzip_allowance = 0.6;

}  // namespace

memory_tier::memory_tier(boost::asio::any_io_executor executor, const clients::redis::options& redis,
                         std::string cache_namespace, std::size_t capacity_bytes,
                         std::shared_ptr<spdlog::logger> logger)
    : prefix_(std::move(cache_namespace) + ":"), cache_(capacity_bytes), logger_(std::move(logger)) {
  clients::redis::invalidation_listener::callbacks calls;
  calls.on_keys = [this](std::vector<std::string> keys) { changed(keys); };
  calls.on_flush = [this] { flushed(); };
  calls.on_tracking = [this](bool on) { tracking(on); };
  listener_ = std::make_unique<clients::redis::invalidation_listener>(
      std::move(executor), redis, clients::redis::invalidation_listener::settings{.prefix = prefix_}, std::move(calls));
}

host::http::shared_representation memory_tier::find(std::string_view key) {
  if (!in_step_) return nullptr;
  return cache_.find(key);
}

void memory_tier::insert(std::string key, host::http::shared_representation tile, std::chrono::milliseconds ttl,
                         std::uint64_t ticket) {
  if (!in_step_ || ticket < everything_at_ || ttl.count() <= 0) return;
  if (const auto it = recent_.find(key); it != recent_.end() && it->second > ticket) return;
  const auto cost =
      tile->footprint() + static_cast<std::size_t>(static_cast<double>(tile->bytes().size()) * gzip_allowance) + 64;
  cache_.insert(std::move(key), std::move(tile), cost, clock::now() + ttl);
}

void memory_tier::changed(const std::vector<std::string>& redis_keys) {
  const auto now = clock::now();
  forget_old_reports(now);
  for (const auto& redis_key : redis_keys) {
    ++reports_;
    if (!redis_key.starts_with(prefix_)) continue;
    std::string key = redis_key.substr(prefix_.size());
    cache_.erase(key);
    recent_[key] = reports_;
    recent_order_.push_back({now, std::move(key), reports_});
  }
}

void memory_tier::flushed() {
  ++reports_;
  everything_at_ = reports_;
  cache_.clear();
}

void memory_tier::tracking(bool on) {
  // Either way, what memory holds may have missed a change.
  flushed();
  in_step_ = on;
  if (on)
    logger_->info("Tile memory cache in step with Redis");
  else
    logger_->warn("Tile memory cache off: the connection that reports Redis changes is down");
}

void memory_tier::forget_old_reports(clock::time_point now) {
  while (!recent_order_.empty() && now - recent_order_.front().at > report_memory) {
    const auto& oldest = recent_order_.front();
    // A key changed again since keeps its later report.
    if (const auto it = recent_.find(oldest.key); it != recent_.end() && it->second == oldest.report)
      recent_.erase(it);
    recent_order_.pop_front();
  }
}

}  // namespace mapsvc::tile_gateway
