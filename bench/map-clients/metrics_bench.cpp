// The work the metrics add to every request: two clock readings and one recorder call (a
// counter and a latency histogram in the worker's shared block), and the same for a tile's
// cache level. Compare with the time of one cached tile through HTTP (bench/README.md).
#include <benchmark/benchmark.h>

#include <chrono>

#include "host/metrics/shared_metrics.hpp"

namespace {

void request_counted(benchmark::State& state) {
  host::metrics::shared_region region(2);
  host::metrics::recorder recorder(region, 1);
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    benchmark::ClobberMemory();
    const auto took = std::chrono::steady_clock::now() - started;
    recorder.request(3, host::metrics::method::get, 200, took);
    recorder.tile(0, host::metrics::tile_level::memory);
  }
}
BENCHMARK(request_counted);

void scrape_all(benchmark::State& state) {
  host::metrics::shared_region region(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::string> routes(20, "/gis/{layer_name}/{z}/{x}/{y}.pbf");
  const std::vector<std::string> layers{"plots", "beacons", "cadzones", "districts", "lgas"};
  for (std::size_t w = 0; w < region.workers(); ++w) {
    host::metrics::recorder r(region, w);
    for (std::size_t route = 0; route < routes.size(); ++route) r.request(route, host::metrics::method::get, 200, std::chrono::milliseconds(1));
  }
  for (auto _ : state) benchmark::DoNotOptimize(host::metrics::scrape(region, {routes, layers}));
}
BENCHMARK(scrape_all)->Arg(2)->Arg(16);

}  // namespace
