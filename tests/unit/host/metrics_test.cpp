// Metrics written by several processes and read as one: a scrape in any process sums them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "host/metrics/host_metrics.hpp"
#include "host/metrics/shared_metrics.hpp"

namespace {
using namespace host::metrics;
using namespace std::chrono_literals;

const std::vector<std::string> ROUTES{"/gis/{layer_name}/{z}/{x}/{y}.pbf", "/metrics"};

// The host's families and one family of another part of the service, declared as the service
// does before it forks.
struct declared {
  host_families host;
  counter_family tiles;
  histogram_family renders;
  gauge_family backlog;
};

declared declare(registry& r) {
  declared d;
  d.host = declare_host_metrics(r);
  d.tiles = r.add_counter("mapsvc_tile_results_total", "Tiles.",
                          {label("layer", {"plots", "beacons"}), label("level", {"memory", "miss"})});
  d.renders = r.add_histogram("mapsvc_plan_render_seconds", "Renders.");
  d.backlog = r.add_gauge("mapsvc_feed_backlog", "Backlog.");
  return d;
}

registry declare_into(declared& d) {
  registry r;
  d = declare(r);
  return r;
}

struct fixture {
  explicit fixture(std::size_t workers) : region(declare_into(d), workers) {}
  declared d;  // before the region: filled while the region is made
  shared_region region;
  std::string scrape_text() const { return scrape(region, {{"route", route_label_values(ROUTES)}}); }
};

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(SharedMetrics, ForkedWorkersAreSummedInOneScrape) {
  fixture f(2);
  recorder parent(f.d.host, f.region.block(0));
  parent.request(0, method::get, 200, 2ms);
  f.d.tiles.bound_to(f.region.block(0)).at(1, 0).add();
  f.d.backlog.bound_to(f.region.block(0)).at().set(-2);
  const pid_t child = ::fork();
  if (child == 0) {
    recorder worker(f.d.host, f.region.block(1));
    worker.request(0, method::get, 200, 30ms);
    worker.request(0, method::get, 299, 1ms);  // not a known status: "other"
    const auto tiles = f.d.tiles.bound_to(f.region.block(1));
    tiles.at(1, 0).add();
    tiles.at(0, 1).add();
    f.d.backlog.bound_to(f.region.block(1)).at().set(5);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));

  const auto text = f.scrape_text();
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="200"} 2)")) << text;
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",method="GET",status="other"} 1)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_request_duration_seconds_bucket{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",le="0.0025"} 2)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_request_duration_seconds_bucket{route="/gis/{layer_name}/{z}/{x}/{y}.pbf",le="+Inf"} 3)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_tile_results_total{layer="beacons",level="memory"} 2)"));
  EXPECT_TRUE(has_line(text, R"(mapsvc_tile_results_total{layer="plots",level="miss"} 1)"));
  // Series of listed values are shown never written; a gauge sums signed values.
  EXPECT_TRUE(has_line(text, R"(mapsvc_tile_results_total{layer="plots",level="memory"} 0)"));
  EXPECT_TRUE(has_line(text, "mapsvc_feed_backlog 3"));
  // A route nobody asked for adds no series.
  EXPECT_EQ(text.find(R"(route="/metrics")"), std::string::npos);
  EXPECT_TRUE(has_line(text, "mapsvc_workers 2"));
}

TEST(SharedMetrics, LabelsStayBoundedWhateverArrives) {
  fixture f(1);
  recorder r(f.d.host, f.region.block(0));
  r.request(MAX_ROUTES + 100, method_of("BREW"), 999, 1ms);  // no route, odd method, odd status
  const auto tiles = f.d.tiles.bound_to(f.region.block(0));
  tiles.at(2, 0).add();  // not a layer: not counted
  tiles.at(0, 7).add();  // not a level: not counted
  counter_family().at().add();  // never bound: not counted
  const auto text = f.scrape_text();
  EXPECT_TRUE(has_line(text, R"(mapsvc_http_requests_total{route="unmatched",method="other",status="other"} 1)")) << text;
  for (const char* line : {R"(mapsvc_tile_results_total{layer="plots",level="memory"} 0)",
                           R"(mapsvc_tile_results_total{layer="plots",level="miss"} 0)",
                           R"(mapsvc_tile_results_total{layer="beacons",level="memory"} 0)",
                           R"(mapsvc_tile_results_total{layer="beacons",level="miss"} 0)"})
    EXPECT_TRUE(has_line(text, line)) << line;
}

TEST(SharedMetrics, AFamilyIsDeclaredOnceWithAtMostThreeLabels) {
  registry r;
  r.add_gauge("mapsvc_x", "X.");
  EXPECT_THROW(r.add_counter("mapsvc_x", "X again."), std::invalid_argument);
  EXPECT_THROW(r.add_counter("mapsvc_y", "Y.", {label("a", {"1"}), label("b", {"1"}), label("c", {"1"}), label("d", {"1"})}),
               std::invalid_argument);
}

TEST(SharedMetrics, AReplacedWorkerContinuesItsCounters) {
  fixture f(1);
  {
    recorder first(f.d.host, f.region.block(0));
    first.pool(3, 2, 1, 5, 50ms);
  }
  recorder second(f.d.host, f.region.block(0));  // the pool of the new worker starts from zero again
  second.pool(1, 0, 0, 2, 10ms);
  f.region.header().worker_restarts.fetch_add(1);
  const auto text = f.scrape_text();
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_waits_total 7")) << text;
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_wait_seconds_total 0.06"));
  EXPECT_TRUE(has_line(text, "mapsvc_db_pool_in_use 0"));
  EXPECT_TRUE(has_line(text, "mapsvc_worker_restarts_total 1"));
}

TEST(SharedMetrics, TimesFromSeveralThreadsAllCount) {
  fixture f(1);
  const auto renders = f.d.renders.bound_to(f.region.block(0)).at();
  std::vector<std::thread> renderers;
  for (int t = 0; t < 4; ++t)
    renderers.emplace_back([renders] {
      for (int i = 0; i < 1000; ++i) renders.observe_shared(20ms);
    });
  for (auto& t : renderers) t.join();
  const auto text = f.scrape_text();
  EXPECT_TRUE(has_line(text, "mapsvc_plan_render_seconds_count 4000")) << text;
  EXPECT_TRUE(has_line(text, R"(mapsvc_plan_render_seconds_bucket{le="0.025"} 4000)"));
  EXPECT_TRUE(has_line(text, "mapsvc_plan_render_seconds_sum 80"));
}

}  // namespace
