#pragma once
// Decides, call by call, whether the tile cache is worth asking. A Redis that stalls would
// otherwise cost every request the whole read bound; one that refuses connections costs
// nothing, so only time-outs open the breaker.
//
// closed: every call goes to Redis. open: calls skip Redis until `retry_after` has passed
// since the last time-out. probing: one call (the probe) goes to Redis, the others skip;
// an answer closes the breaker, a time-out opens it again. Used from one event loop, so
// not synchronised.

#include <chrono>
#include <cstdint>
#include <functional>

namespace mapsvc::tile_gateway {

class cache_breaker {
 public:
  using clock = std::chrono::steady_clock;
  using now_function = std::function<clock::time_point()>;

  enum class state { closed, open, probing };

  // What a caller may do: call Redis as usual, call it as the one probe, or skip it.
  struct ticket {
    enum class role { call, probe, skip };
    role kind = role::call;
    std::uint64_t probe_id = 0;
    bool skipped() const { return kind == role::skip; }
  };

  // A change of state the caller should report (each happens once per stall).
  struct change {
    enum class what { none, opened, closed };
    what kind = what::none;
    // For `closed`: how long the cache was skipped and how many calls skipped it.
    std::chrono::milliseconds skipped_for{0};
    std::uint64_t skipped_calls = 0;
  };

  // `retry_after`: how long calls skip Redis before one probes it. `probe_limit`: a probe
  // that reports nothing for this long (its caller vanished) no longer holds the others back.
  explicit cache_breaker(std::chrono::milliseconds retry_after = std::chrono::milliseconds(500),
                         std::chrono::milliseconds probe_limit = std::chrono::seconds(10),
                         now_function now = clock::now);

  // Asks before each Redis call. A ticket that is not `skip` must be answered with exactly
  // one of the outcomes below.
  ticket admit();

  // Redis answered: the cache is in use again.
  change succeeded(const ticket& t);
  // The call missed its bound: skip Redis for a while.
  change timed_out(const ticket& t);
  // Any other failure (refused, lost connection): cheap, so it never opens the breaker, and
  // a probe that fails this way shows that Redis no longer stalls.
  change failed(const ticket& t);
  // The caller gave up (its request was cancelled): the next call may probe at once.
  void abandoned(const ticket& t);

  state current() const { return state_; }
  std::chrono::milliseconds retry_after() const { return retry_after_; }

 private:
  change close();
  bool is_current_probe(const ticket& t) const;

  std::chrono::milliseconds retry_after_;
  std::chrono::milliseconds probe_limit_;
  now_function now_;
  state state_ = state::closed;
  clock::time_point opened_at_{};    // start of the current skipping
  clock::time_point retry_at_{};     // when the next probe may go (state open)
  clock::time_point probe_sent_at_{};
  std::uint64_t probe_id_ = 0;
  std::uint64_t skipped_calls_ = 0;
};

}  // namespace mapsvc::tile_gateway
