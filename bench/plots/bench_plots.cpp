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

// The encoder before this one, in the same run: Cairo composites the picture onto white, then
// libpng deflates the rows at zlib level 1 on the calling thread.
void BM_png_previous(benchmark::State& state) {
  const auto image = pl::detail::draw_plan(layout_of(load(static_cast<int>(state.range(0)))));
  state.SetLabel(examples[state.range(0)]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto flat = pl::detail::flatten_on_white(image);
    const std::string png = pl::detail::encode_png_libpng(flat.get());
    bytes = png.size();
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["png_kb"] = static_cast<double>(bytes) / 1024;
}

void BM_pdf(benchmark::State& state) {
  const pl::plan p = layout_of(load(static_cast<int>(state.range(0))));
  state.SetLabel(examples[state.range(0)]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string pdf = pl::render_pdf(p);
    bytes = pdf.size();
    benchmark::DoNotOptimize(pdf.data());
  }
  state.counters["kb"] = static_cast<double>(bytes) / 1024;
}

void BM_svg(benchmark::State& state) {
  const pl::plan p = layout_of(load(static_cast<int>(state.range(0))));
  state.SetLabel(examples[state.range(0)]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string svg = pl::render_svg(p);
    bytes = svg.size();
    benchmark::DoNotOptimize(svg.data());
  }
  state.counters["kb"] = static_cast<double>(bytes) / 1024;
}

// A batch as the server draws it: 100 pages into one PDF, the three examples in turn.
void BM_pdf_batch_100(benchmark::State& state) {
  const pl::plan plans[] = {layout_of(load(0)), layout_of(load(1)), layout_of(load(2))};
  std::size_t bytes = 0;
  for (auto _ : state) {
    pl::pdf_book book;
    for (int i = 0; i < 100; ++i) book.add(plans[i % 3]);
    const std::string pdf = book.finish();
    bytes = pdf.size();
    benchmark::DoNotOptimize(pdf.data());
  }
  state.counters["kb"] = static_cast<double>(bytes) / 1024;
  state.counters["plans_per_s"] = benchmark::Counter(100.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_base64(benchmark::State& state) {
  const std::string png = pl::render_png(layout_of(load(static_cast<int>(state.range(0)))));
  state.SetLabel(examples[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(pl::detail::base64(png));
}

// What the service's plan query typically hands over: the 1:500 example among about 150
// neighbouring plots (a 13 x 12 block of 20 m x 25 m lots) and 15 roads.
json dense_request() {
  json r = load(0);
  const auto& ring = r["parcel_data"][4]["geometry"]["coordinates"][0];
  const double x0 = ring[0][0].get<double>() - 130, y0 = ring[0][1].get<double>() - 150;
  for (int i = 0; i < 13; ++i)
    for (int j = 0; j < 12; ++j) {
      const double x = x0 + i * 20, y = y0 + j * 25;
      json lot = {{"parcel_number", 900000 + i * 100 + j},
                  {"geometry", {{"coordinates", {{{x, y}, {x + 20, y}, {x + 20, y + 25}, {x, y + 25}, {x, y}}}}}}};
      r["parcel_data"].push_back(lot);
    }
  for (int k = 0; k < 15; ++k) {
    const double y = y0 + k * 20 + 3;
    r["road_data"].push_back({{"geometry", {{"coordinates", {{x0 - 50, y}, {x0 + 120, y + 7}, {x0 + 320, y - 4}}}}}});
  }
  return r;
}

void BM_generate_plot_dense(benchmark::State& state) {
  const json r = dense_request();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto result = pl::generate_plot(r["parcel_data"], r["selected_parcel_number"], r["road_data"], "parcel_number",
                                    r["bounding_box"]);
    bytes = result.image64.size() / 4 * 3;
    benchmark::DoNotOptimize(result);
  }
  state.counters["png_kb"] = static_cast<double>(bytes) / 1024;
}

// At the renderer's ceiling of parcel records: the 1:5000 farm among 4990 lots of 20 m x 12 m,
// nearly all of them on the page.
json many_lots_request() {
  json r = load(2);
  const auto& ring = r["parcel_data"][3]["geometry"]["coordinates"][0];
  const double x0 = ring[0][0].get<double>() - 700, y0 = ring[0][1].get<double>() - 400;
  for (int i = 0; r["parcel_data"].size() < pl::max_parcels; ++i) {
    const double x = x0 + (i % 70) * 20, y = y0 + (i / 70) * 12;
    json lot = {{"parcel_number", 900000 + i},
                {"geometry", {{"coordinates", {{{x, y}, {x + 20, y}, {x + 20, y + 12}, {x, y + 12}, {x, y}}}}}}};
    r["parcel_data"].push_back(lot);
  }
  return r;
}

void BM_generate_plot_many_lots(benchmark::State& state) {
  const json r = many_lots_request();
  for (auto _ : state) {
    auto result = pl::generate_plot(r["parcel_data"], r["selected_parcel_number"], r["road_data"],
                                    r.value("columnname", "parcel_number"), r["bounding_box"]);
    benchmark::DoNotOptimize(result);
  }
}

BENCHMARK(BM_generate_plot)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_generate_plot_dense)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_generate_plot_many_lots)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_layout)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_draw)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_png)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_png_previous)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pdf)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_svg)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pdf_batch_100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_base64)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Keep the renderer's progress lines out of the timings.
  spdlog::register_logger(std::make_shared<spdlog::logger>("printsvc.plots", std::make_shared<spdlog::sinks::null_sink_mt>()));
  // The first calls in a process load fontconfig and fault in the page-sized buffers; a server
  // pays that once, so it stays out of the steady-state figures.
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 2; ++k) benchmark::DoNotOptimize(pl::render_png(layout_of(load(i))));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
