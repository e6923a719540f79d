#include "mapsvc/tile_gateway/cache_breaker.hpp"

#include <utility>

namespace mapsvc::tile_gateway {

cache_breaker::cache_breaker(std::chrono::milliseconds retry_after, std::chrono::milliseconds probe_limit,
                             now_function now)
    : retry_after_(retry_after), probe_limit_(probe_limit), now_(std::move(now)) {}

cache_breaker::ticket cache_breaker::admit() {
  if (state_ == state::closed) return {};
  const auto now = now_();
  const bool may_probe = state_ == state::open ? now >= retry_at_ : now - probe_sent_at_ >= probe_limit_;
  if (!may_probe) {
    ++skipped_calls_;
    return {.kind = ticket::role::skip};
  }
  state_ = state::probing;
  probe_sent_at_ = now;
  return {.kind = ticket::role::probe, .probe_id = ++probe_id_};
}

cache_breaker::change cache_breaker::succeeded(const ticket&) {
  // Any answer, even one to a call older than the stall, shows that Redis answers now.
  if (state_ == state::closed) return {};
  return close();
}

cache_breaker::change cache_breaker::timed_out(const ticket& t) {
  if (state_ == state::closed) {
    state_ = state::open;
    opened_at_ = now_();
    retry_at_ = opened_at_ + retry_after_;
    skipped_calls_ = 0;
    return {.kind = change::what::opened};
  }
  // Calls sent before the breaker opened time out one after the other; only the probe's
  // own verdict moves the next probe back.
  if (is_current_probe(t)) {
    state_ = state::open;
    retry_at_ = now_() + retry_after_;
  }
  return {};
}

cache_breaker::change cache_breaker::failed(const ticket& t) {
  if (is_current_probe(t)) return close();
  return {};
}

void cache_breaker::abandoned(const ticket& t) {
  if (!is_current_probe(t)) return;
  state_ = state::open;
  retry_at_ = now_();
}

cache_breaker::change cache_breaker::close() {
  state_ = state::closed;
  return {.kind = change::what::closed,
          .skipped_for = std::chrono::duration_cast<std::chrono::milliseconds>(now_() - opened_at_),
          .skipped_calls = skipped_calls_};
}

bool cache_breaker::is_current_probe(const ticket& t) const {
  return state_ == state::probing && t.kind == ticket::role::probe && t.probe_id == probe_id_;
}

}  // namespace mapsvc::tile_gateway
