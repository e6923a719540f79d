#include "tools.hpp"

#include <sys/wait.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

namespace tile_test {
namespace {

struct tools_environment : ::testing::Environment {
  void SetUp() override {
    ::setenv("MAPSVC_TILE_TEST_DB", env_or("MAPSVC_TILE_TEST_DB", "mapsvc_seed_test").c_str(), 1);
    ::setenv("MAPSVC_TILE_TEST_REDIS_DB", env_or("MAPSVC_TILE_TEST_REDIS_DB", "11").c_str(), 1);
    fixture_db::create();
  }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new tools_environment);

}  // namespace

run_result run_command(const std::string& command) {
  FILE* p = ::popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (const auto n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

run_result tool(const std::string& args) {
  return run_command(fmt::format("DATABASE_URL='{}' REDIS_HOST={} REDIS_PORT={} REDIS_DB={} {} {} 2>&1",
                                 fixture_db::url(), env_or("REDIS_HOST", "127.0.0.1"), env_or("REDIS_PORT", "56379"),
                                 test_redis_db(), MAPSVC_TILES_BIN, args));
}

std::uint64_t figure(const std::string& out, const std::string& what) {
  for (auto at = out.find(" " + what); at != std::string::npos; at = out.find(" " + what, at + 1)) {
    auto begin = at;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(out[begin - 1]))) --begin;
    if (begin < at) return std::stoull(out.substr(begin, at - begin));
  }
  return 0;
}

void tools_test::clear() {
  for (const auto& k : redis.keys("mvt_v8:*")) redis.command({"DEL", k});
}

std::string tools_test::area() {
  const auto t = data_tile();
  const auto a = host::helpers::bounds_of(t.z, t.x, t.y);
  const auto b = host::helpers::bounds_of(t.z, t.x + 2, t.y);
  const double k = 180.0 / 20037508.342789244;
  const auto lat = [&](double y) { return std::atan(std::sinh(y * k * M_PI / 180)) * 180 / M_PI; };
  // A little inside the outer edges, so that no further neighbour meets it.
  return fmt::format("{},{},{},{}", (a.minx + 1) * k, lat(a.miny + 1), (b.maxx - 1) * k, lat(a.maxy - 1));
}

}  // namespace tile_test
