// Metrics written by several processes and read as one: a scrape in any process sums them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "host/metrics/shared_metrics.hpp"

namespace {
using namespace host::metrics;
using namespace std::chrono_literals;

const std::vector<std::string> ROUTES{"/gis/{layer_name}/{z}/{x}/{y}.pbf", "/metrics"};
const std::vector<std::string> LAYERS{"plots", "beacons"};

std::string scrape_of(const shared_region& region) { return scrape(region, {ROUTES, LAYERS}); }

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(SharedMetrics, ForkedWorkersAreSummedInOneScrape) {
  shared_region region(2);
  recorder parent(region, 0);
  parent.request(0, method::get, 200, 2ms);
  parent.tile(1, tile_level::memory);
  const pid_t child = ::fork();
  if (child == 0) {
    recorder worker(region, 1);
    worker.request(0, method::get, 200, 30ms);
    worker.request(0, method::get, 299, 1ms);  // not a known status: "other"
    worker.tile(1, tile_level::memory);
    worker.tile(0, tile_level::miss);
    worker.invalidated(7);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));

  const auto text = scrape_of(region);
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="200"} 2)")) << text;
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="other"} 1)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_request_duration_seconds_bucket{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",le="0.0025"} 2)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_request_duration_seconds_bucket{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",le="+Inf"} 3)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_tile_results_total{layer="beacons",level="memory"} 2)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_tile_results_total{layer="plots",level="miss"} 1)"));
  EXPECT_TRUE(has_line(text, "mapsvc_cache_invalidated_keys_total 7"));
  // A route nobody asked for adds no series.
  EXPECT_EQ(text.find(R"(route="/metrics")"), std::string::npos);
}

TEST(SharedMetrics, LabelsStayBoundedWhateverArrives) {
  shared_region region(1);
  recorder r(region, 0);
  r.request(MAX_ROUTES + 100, method_of("BREW"), 999, 1ms);  // no route, odd method, odd status
  r.tile(MAX_LAYERS + 3, tile_level::miss);                  // not a layer: not counted
  const auto text = scrape_of(region);
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="unmatched",method="other",status="other"} 1)")) << text;
}

TEST(SharedMetrics, AReplacedWorkerContinuesItsCounters) {
  shared_region region(1);
  {
    recorder first(region, 0);
    first.statement_timeout();
    first.pool(3, 2, 1, 5, 50ms);
  }
  recorder second(region, 0);  // the pool of the new worker starts from zero again
  second.pool(1, 0, 0, 2, 10ms);
  second.statement_timeout();
  region.header().worker_restarts.add();
  const auto text = scrape_of(region);
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_waits_total 7")) << text;
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_wait_seconds_total 0.06"));
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_in_use 0"));
  EXPECT_TRUE(has_line(text, "mapsvc_db_statement_timeouts_total 2"));
  EXPECT_TRUE(has_line(text, "mapsvc_worker_restarts_total 1"));
}

TEST(SharedMetrics, PlanTimesFromRenderThreadsAllCount) {
  shared_region region(1);
  recorder r(region, 0);
  plan_rendered(1ms);  // before the worker set its recorder: dropped
  set_process_recorder(&r);
  std::vector<std::thread> renderers;
  for (int t = 0; t < 4; ++t)
    renderers.emplace_back([] {
      for (int i = 0; i < 1000; ++i) plan_rendered(20ms);
    });
  for (auto& t : renderers) t.join();
  set_process_recorder(nullptr);
  const auto text = scrape_of(region);
  EXPECT_TRUE(has_line(text, "mapsvc_plan_render_seconds_count 4000")) << text;
  EXPECT_TRUE(has_line(text, R"(mapsvc_plan_render_seconds_bucket{le="0.025"} 4000)"));
}

}  // namespace
