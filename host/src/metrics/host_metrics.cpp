#include "host/metrics/host_metrics.hpp"

#include <algorithm>
#include <string>

namespace host::metrics {

std::string_view to_string(method m) {
  switch (m) {
    case method::get: return "GET";
    case method::head: return "HEAD";
    case method::post: return "POST";
    case method::options: return "OPTIONS";
    default: return "other";
  }
}

method method_of(std::string_view name) noexcept {
  if (name == "GET") return method::get;
  if (name == "HEAD") return method::head;
  if (name == "POST") return method::post;
  if (name == "OPTIONS") return method::options;
  return method::other;
}

std::size_t status_slot(unsigned status) noexcept {
  const auto it = std::find(KNOWN_STATUSES.begin(), KNOWN_STATUSES.end(), status);
  return static_cast<std::size_t>(it - KNOWN_STATUSES.begin());  // the end: "other"
}

host_families declare_host_metrics(registry& families) {
  std::vector<std::string> methods, statuses;
  for (std::size_t m = 0; m < static_cast<std::size_t>(method::count_); ++m)
    methods.emplace_back(to_string(static_cast<method>(m)));
  for (const unsigned s : KNOWN_STATUSES) statuses.push_back(std::to_string(s));
  statuses.emplace_back("other");

  host_families f;
  f.requests = families.add_counter("mapsvc_http_requests_total",
                                    "HTTP requests answered, by route template, method and status.",
                                    {label("route", MAX_ROUTES + 1), label("method", methods), label("status", statuses)},
                                    /*only_written=*/true);
  f.latency = families.add_histogram("mapsvc_http_request_duration_seconds",
                                     "Time from a request's arrival to its answer being ready, by route template.",
                                     {label("route", MAX_ROUTES + 1)}, /*only_written=*/true);
  f.pool_open = families.add_gauge("mapsvc_db_pool_connections", "Database connections open, over all workers.");
  f.pool_in_use = families.add_gauge("mapsvc_db_pool_in_use", "Database connections lent to requests.");
  f.pool_waiting = families.add_gauge("mapsvc_db_pool_waiting", "Requests waiting for a database connection.");
  f.pool_waits = families.add_counter("mapsvc_db_pool_waits_total", "Requests that had to wait for a database connection.");
  f.pool_wait_ns = families.add_counter("mapsvc_db_pool_wait_seconds_total",
                                        "Time requests spent waiting for a database connection.", {}, false, 1e-9);
  return f;
}

std::vector<std::string> route_label_values(std::vector<std::string> templates) {
  templates.resize(MAX_ROUTES + 1, std::string(UNMATCHED_ROUTE));
  templates[MAX_ROUTES] = UNMATCHED_ROUTE;
  return templates;
}

namespace {
host_families bound(const host_families& f, cell* block) {
  return {f.requests.bound_to(block),    f.latency.bound_to(block),    f.pool_open.bound_to(block),
          f.pool_in_use.bound_to(block), f.pool_waiting.bound_to(block), f.pool_waits.bound_to(block),
          f.pool_wait_ns.bound_to(block)};
}
}  // namespace

recorder::recorder(const host_families& families, cell* block)
    : f_(bound(families, block)), waits_base_(f_.pool_waits.at().get()), wait_ns_base_(f_.pool_wait_ns.at().get()) {
  f_.pool_open.at().set(0);
  f_.pool_in_use.at().set(0);
  f_.pool_waiting.at().set(0);
}

void recorder::request(std::size_t route, method m, unsigned status, std::chrono::nanoseconds took) noexcept {
  route = std::min(route, MAX_ROUTES);
  f_.requests.at(route, static_cast<std::size_t>(m), status_slot(status)).add();
  f_.latency.at(route).observe(took);
}

void recorder::pool(std::size_t open, std::size_t in_use, std::size_t waiting, std::uint64_t waits,
                    std::chrono::nanoseconds waited) noexcept {
  f_.pool_open.at().set(static_cast<std::int64_t>(open));
  f_.pool_in_use.at().set(static_cast<std::int64_t>(in_use));
  f_.pool_waiting.at().set(static_cast<std::int64_t>(waiting));
  f_.pool_waits.at().set(waits_base_ + waits);
  f_.pool_wait_ns.at().set(wait_ns_base_ + static_cast<std::uint64_t>(waited.count()));
}

}  // namespace host::metrics
