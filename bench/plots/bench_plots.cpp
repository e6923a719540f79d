// Time per generate_plot call over the example plans, and its stages: layout, drawing (Cairo),
// PNG encoding, base64.

#include "png.hpp"
#include "render.hpp"

#include <printsvc/plots/plots.hpp>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <fstream>
#include <iterator>
#include <string>

namespace pl = printsvc::plots;
using json = nlohmann::ordered_json;

namespace {

const char* const examples[] = {"small_parcel_500", "heptagon_1000", "large_parcel_5000"};

json load(int index) {
  std::ifstream in(std::string(PLOTS_EXAMPLES_DIR) + "/" + examples[index] + ".json");
  return json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
}

pl::plan layout_of(const json& r) {
  return pl::plan_layout(r["parcel_data"], r["selected_parcel_number"], r["road_data"], r.value("columnname", "parcel_number"),
                         r["bounding_box"]);
}

void BM_generate_plot(benchmark::State& state) {
  const json r = load(static_cast<int>(state.range(0)));
  state.SetLabel(examples[state.range(0)]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto result = pl::generate_plot(r["parcel_data"], r["selected_parcel_number"], r["road_data"],
                                    r.value("columnname", "parcel_number"), r["bounding_box"]);
    bytes = result.image64.size() / 4 * 3;
    benchmark::DoNotOptimize(result);
  }
  state.counters["png_kb"] = static_cast<double>(bytes) / 1024;
}

void BM_layout(benchmark::State& state) {
  const json r = load(static_cast<int>(state.range(0)));
  state.SetLabel(examples[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(layout_of(r));
}

void BM_draw(benchmark::State& state) {
  const pl::plan p = layout_of(load(static_cast<int>(state.range(0))));
  state.SetLabel(examples[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(pl::detail::draw_plan(p));
}

void BM_png(benchmark::State& state) {
  const auto image = pl::detail::draw_plan(layout_of(load(static_cast<int>(state.range(0)))));
  state.SetLabel(examples[state.range(0)]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string png = pl::detail::encode_png(image);
    bytes = png.size();
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["png_kb"] = static_cast<double>(bytes) / 1024;
  state.counters["pixels"] = static_cast<double>(image.width) * image.height;
}

void BM_base64(benchmark::State& state) {
  const std::string png = pl::render_png(layout_of(load(static_cast<int>(state.range(0)))));
  state.SetLabel(examples[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(pl::detail::base64(png));
}

BENCHMARK(BM_generate_plot)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_layout)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_draw)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_png)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_base64)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Keep the renderer's progress lines out of the timings.
  spdlog::register_logger(std::make_shared<spdlog::logger>("printsvc.plots", std::make_shared<spdlog::sinks::null_sink_mt>()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
