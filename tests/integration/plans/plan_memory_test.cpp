// Memory per byte of plan body: a 16 MB batch through the plan routes may raise the process's peak
// resident memory by at most four times its size, the body itself included (it is built after the
// baseline is taken, as a server receives it).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "host/http/app.hpp"
#include "plan_routes.hpp"

namespace {
namespace asio = boost::asio;
using boost::beast::http::verb;

constexpr std::size_t batch_bytes = 16'000'000;

long status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
  return -1;
}

// Starts a new peak: the kernel sets VmHWM to the present resident size.
bool reset_peak() { return static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5"); }

void append_position(std::string& out, double x, double y, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, x, y);
  out += buf;
}

// A ring of `n` positions about (cx, cy), closed.
void append_ring(std::string& out, double cx, double cy, double r, int n, const char* format) {
  out += '[';
  for (int i = 0; i <= n; ++i) {
    const double a = 6.283185307179586 * (i % n) / n;
    if (i) out += ',';
    append_position(out, cx + r * std::cos(a), cy + r * std::sin(a), format);
  }
  out += ']';
}

// One plan as the database writes them: a 7-sided parcel with its boundary, `neighbours` parcels of
// 8 to 40 positions and 15 roads, coordinates in metres to the millimetre (or, with small numbers,
// whole metres near the origin: the most positions a byte of body can hold).
std::string plan_text(int k, int neighbours, bool small_numbers) {
  const char* format = small_numbers ? "[%.0f,%.0f]" : "[%.3f,%.3f]";
  const double cx = small_numbers ? 50 : 330000 + 500.0 * k, cy = small_numbers ? 50 : 1000000;
  const double scale = small_numbers ? 0.1 : 1;
  std::string out = "{\"parcel_data\":[{\"parcel_number\":" + std::to_string(k) + ",\"name\":\"Plot " +
                    std::to_string(k) +
                    "\",\"area\":11888.0,\"land_use\":\"Residential\",\"geometry\":"
                    "{\"type\":\"Polygon\",\"coordinates\":[";
  append_ring(out, cx, cy, 600 * scale, 7, format);
  out += "]},\"boundary\":[";
  for (int i = 0; i < 7; ++i) {
    const double a = 6.283185307179586 * i / 7;
    out += std::string(i ? "," : "") + "{\"geometry\":{\"coordinates\":";
    append_position(out, cx + 600 * scale * std::cos(a), cy + 600 * scale * std::sin(a), format);
    out += "},\"beacon_name\":\"PB " + std::to_string(7000 + i) +
           "\",\"distance_to_next\":51.3,\"bearing_deg_to_next\":48,\"bearing_min_to_next\":1}";
  }
  out += "]}";
  for (int j = 0; j < neighbours; ++j) {
    const double a = 6.283185307179586 * j / neighbours;
    out += ",{\"parcel_number\":" + std::to_string(100000 + j) + ",\"name\":\"Plot " + std::to_string(j) +
           "\",\"area\":900.5,\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[";
    append_ring(out, cx + 2000 * scale * std::cos(a), cy + 2000 * scale * std::sin(a), 150 * scale, 8 + (j * 7) % 33,
                format);
    out += "]}}";
  }
  out += "],\"selected_parcel_number\":" + std::to_string(k) + ",\"road_data\":[";
  for (int j = 0; j < 15; ++j) {
    out += std::string(j ? "," : "") + "{\"geometry\":{\"type\":\"LineString\",\"coordinates\":";
    append_ring(out, cx, cy, (3000 + 100 * j) * scale, 19, format);
    out += "}}";
  }
  return out + "],\"columnname\":\"parcel_number\"}";
}

std::string batch_text(bool small_numbers) {
  const int neighbours = small_numbers ? 760 : 214;
  const std::size_t per_plan = plan_text(0, neighbours, small_numbers).size() + 1;
  std::string out;
  out.reserve(batch_bytes + per_plan);
  out += "{\"plans\":[";
  for (int k = 0; k < 100 && out.size() + per_plan < batch_bytes; ++k)
    out += (k ? "," : "") + plan_text(k, neighbours, small_numbers);
  out += "]}";
  return out;
}

class PlanMemory : public ::testing::TestWithParam<bool> {};

TEST_P(PlanMemory, ABatchOf16MbCostsAtMostFourTimesItsSize) {
  asio::io_context io;
  mapsvc::plans::render_queue renderers{{.workers = 2, .max_waiting = 8}};
  host::http::app application{"t", "1"};
  application.mount(mapsvc::plans::plan_router(renderers));
  ::malloc_trim(0);
  if (!reset_peak()) GTEST_SKIP() << "no /proc/self/clear_refs to reset the peak";
  const long before_kb = status_kb("VmRSS:");

  host::http::http_request req{verb::post, "/plots/plans", 11};
  req.body() = batch_text(GetParam());
  const std::size_t body = req.body().size();
  ASSERT_GT(body, 15'000'000u);
  auto answer = asio::co_spawn(io, application.dispatch(req), asio::use_future);
  while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
    io.run_one_for(std::chrono::milliseconds(50));
  const auto r = answer.get();
  ASSERT_EQ(r.status, 200u) << r.body.substr(0, 400);
  for (const auto& [name, value] : r.headers)
    if (name == "X-Plan-Notes") ADD_FAILURE() << value;

  const double above_idle = static_cast<double>(status_kb("VmHWM:") - before_kb) * 1024;
  std::printf("body %zu bytes: peak %.1f MB above idle, %.2f times the body\n", body, above_idle / 1e6,
              above_idle / static_cast<double>(body));
  EXPECT_LE(above_idle, 4.0 * static_cast<double>(body));
}

// Coordinates to the millimetre, as the database writes them; small whole numbers, the most
// positions per byte.
INSTANTIATE_TEST_SUITE_P(Shapes, PlanMemory, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SmallNumbers" : "Millimetres"; });

}  // namespace
