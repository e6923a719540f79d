#pragma once
// What the host itself counts: requests by route, method and status, their latency, and the
// database pool.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/metrics/registry.hpp"

namespace host::metrics {

inline constexpr std::size_t MAX_ROUTES = 48;  // one more slot counts requests no route matched
inline constexpr std::string_view UNMATCHED_ROUTE = "unmatched";

enum class method { get, head, post, options, other, count_ };
std::string_view to_string(method m);
method method_of(std::string_view name) noexcept;

// The statuses counted by their own label; others count as "other".
inline constexpr std::array<unsigned, 21> KNOWN_STATUSES{200, 204, 206, 301, 304, 307, 400, 401, 403, 404, 405,
                                                         408, 413, 415, 422, 429, 431, 500, 501, 503, 504};
std::size_t status_slot(unsigned status) noexcept;

struct host_families {
  counter_family requests;  // route, method, status
  histogram_family latency;  // route
  gauge_family pool_open, pool_in_use, pool_waiting;
  counter_family pool_waits, pool_wait_ns;
};
// Declares them; the route label is named at scrape time (see route_label_values).
host_families declare_host_metrics(registry& families);

// The values of the route label for a scrape: the routes' templates by index, the rest
// "unmatched".
std::vector<std::string> route_label_values(std::vector<std::string> templates);

// What one worker writes. Every call is a few loads and stores on the worker's own block.
class recorder {
 public:
  recorder(const host_families& families, cell* block);

  // `route`: the index of the matched route, or MAX_ROUTES when none matched.
  void request(std::size_t route, method m, unsigned status, std::chrono::nanoseconds took) noexcept;
  // The database pool's state now, and its cumulative waits since this worker started.
  void pool(std::size_t open, std::size_t in_use, std::size_t waiting, std::uint64_t waits,
            std::chrono::nanoseconds waited) noexcept;

 private:
  host_families f_;
  // The block's pool counters when this worker took it over: the pool's own start from zero.
  std::uint64_t waits_base_, wait_ns_base_;
};

}  // namespace host::metrics
