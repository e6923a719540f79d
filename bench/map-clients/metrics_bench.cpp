// The work the metrics add to every request: two clock readings and one recorder call (a
// counter and a latency histogram in the worker's shared block), and the same for a tile's
// cache level. Compare with the time of one cached tile through HTTP (bench/README.md).
#include <benchmark/benchmark.h>

#include <chrono>

#include "host/metrics/host_metrics.hpp"
#include "host/metrics/shared_metrics.hpp"

namespace {

using namespace host::metrics;

// The host's families and a tile family of five layers by four levels, as the service has.
struct declared_region {
  explicit declared_region(std::size_t workers) : region(declare(), workers) {}
  host_families host;
  counter_family tiles;
  shared_region region;

  registry declare() {
    registry families;
    host = declare_host_metrics(families);
    tiles = families.add_counter(
        "mapsvc_tile_results_total", "Tiles.",
        {label("layer", {"plots", "beacons", "cadzones", "districts", "lgas"}), label("level", {"memory", "redis", "miss", "empty"})});
    return families;
  }
};

void request_counted(benchmark::State& state) {
  declared_region d(2);
  recorder r(d.host, d.region.block(1));
  const auto tiles = d.tiles.bound_to(d.region.block(1));
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    benchmark::ClobberMemory();
    const auto took = std::chrono::steady_clock::now() - started;
    r.request(3, method::get, 200, took);
    tiles.at(0, 0).add();
  }
}
BENCHMARK(request_counted);

void scrape_all(benchmark::State& state) {
  declared_region d(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::string> routes(20, "/gis/{layer_name}/{z}/{x}/{y}.pbf");
  for (std::size_t w = 0; w < d.region.workers(); ++w) {
    recorder r(d.host, d.region.block(w));
    for (std::size_t route = 0; route < routes.size(); ++route) r.request(route, method::get, 200, std::chrono::milliseconds(1));
  }
  const late_label_values names{{"route", route_label_values(routes)}};
  for (auto _ : state) benchmark::DoNotOptimize(scrape(d.region, names));
}
BENCHMARK(scrape_all)->Arg(2)->Arg(16);

}  // namespace
