// What operators and map clients see of the running binary: metrics of every worker in one
// scrape (checked by a Prometheus parser), readiness, TileJSON that passes its JSON schema,
// composite tiles that GDAL reads, and uploads that curl does not hold back.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support.hpp"

namespace mapsvc_test {
namespace {

// Debian's Python, where scripts/install-deps puts the readers (a python3 first on PATH may
// be another one).
#define DEBIAN_PYTHON "/usr/bin/python3"

// Standard output of a shell command, and whether it exited 0.
std::pair<bool, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return {false, out};
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return {::pclose(p) == 0, out};
}

bool have(const char* program) { return run(std::string("command -v ") + program).first; }

std::filesystem::path write_temp(const std::string& name, const std::string& bytes) {
  const auto dir = std::filesystem::temp_directory_path() / ("mapsvc-ops-" + std::to_string(::getpid()));
  const auto path = dir / name;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

double sample(const std::string& exposition, const std::string& series) {
  const auto at = exposition.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stod(exposition.substr(at + series.size() + 2));
}

TEST(Metrics, OneScrapeCoversEveryWorkerAndParses) {
  running_mapsvc svc(2, {{"MAPSVC_METRICS_TOKEN", "scrape-token"}});
  for (int i = 0; i < 40; ++i) ASSERT_EQ(status_of(svc.port(), "/gis/layers/"), 200);
  EXPECT_EQ(fetch(svc.port(), "GET", "/metrics").status, 401);

  const std::string series = R"(mapsvc_http_requests_total{route="/gis/layers/",method="GET",status="200"})";
  // Several scrapes, answered by whichever worker accepts them: all count every request
  // (the start-up checks add some of their own).
  std::set<double> seen;
  std::string text;
  for (int i = 0; i < 6; ++i) {
    const auto r = fetch(svc.port(), "GET", "/metrics", "Authorization: Bearer scrape-token\r\n");
    ASSERT_EQ(r.status, 200);
    text = r.body;
    seen.insert(sample(text, series));
  }
  ASSERT_EQ(seen.size(), 1u) << text;
  EXPECT_GE(*seen.begin(), 40);
  EXPECT_EQ(sample(text, "mapsvc_workers"), 2);

  const auto file = write_temp("metrics.txt", text);
  // Prometheus' Python client parses the whole exposition (it raises on any malformed line).
  const auto [parsed, families] = run(
      DEBIAN_PYTHON " -c 'import sys; from prometheus_client.parser import text_string_to_metric_families as parse; "
      "print(sorted(f.name for f in parse(open(sys.argv[1]).read())))' " + file.string());
  EXPECT_TRUE(parsed) << families;
  EXPECT_NE(families.find("mapsvc_http_request_duration_seconds"), std::string::npos) << families;
  if (have("promtool")) {
    const auto [ok, out] = run("promtool check metrics < " + file.string());
    EXPECT_TRUE(ok) << out;
  }

  // A worker that dies is counted, and what it had counted is kept.
  ::kill(children_of(svc.pid()).at(0), SIGKILL);
  for (int i = 0; i < 100 && children_of(svc.pid()).size() < 2; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(200ms);
  const auto after = fetch(svc.port(), "GET", "/metrics", "Authorization: Bearer scrape-token\r\n").body;
  EXPECT_EQ(sample(after, "mapsvc_worker_restarts_total"), 1);
  EXPECT_GE(sample(after, series), *seen.begin());
}

TEST(Probes, LiveWithoutADatabaseButNotReadyAndReadyWithoutRedis) {
  running_mapsvc healthy(1);
  EXPECT_EQ(fetch(healthy.port(), "GET", "/readyz").status, 200);
  // Tiles still come from the database when Redis is gone.
  running_mapsvc no_redis(1, {{"REDIS_PORT", std::to_string(free_port())}});
  EXPECT_EQ(fetch(no_redis.port(), "GET", "/readyz").status, 200);

  const int closed = free_port();
  running_mapsvc cut(1, {{"DATABASE_URL", "postgresql://postgres@127.0.0.1:" + std::to_string(closed) + "/mapsvc"},
                         {"REDIS_PORT", std::to_string(free_port())}});
  EXPECT_EQ(fetch(cut.port(), "GET", "/livez").status, 200);
  const auto t0 = clock_type::now();
  const auto ready = fetch(cut.port(), "GET", "/readyz");
  EXPECT_EQ(ready.status, 503);
  EXPECT_NE(ready.body.find("unreachable"), std::string::npos);
  EXPECT_LT(clock_type::now() - t0, 2500ms);
  EXPECT_EQ(fetch(cut.port(), "GET", "/gis/health/").status, 200);  // unchanged by the new probes
}

// The demo cadastre's suggested tile of the plots layer, where every big layer has features.
std::string plots_tile(int port) {
  const auto body = fetch(port, "GET", "/gis/plots/").body;
  const std::regex url(R"re("tile_url":"/gis/plots/(\d+/\d+/\d+)\.pbf")re");
  std::smatch m;
  return std::regex_search(body, m, url) ? m[1].str() : "";
}

TEST(MapClients, TileJsonPassesItsSchemaAndGdalReadsACompositeTile) {
  running_mapsvc svc(1);
  const auto doc = fetch(svc.port(), "GET", "/gis/plots,beacons,cadzones/tilejson.json");
  ASSERT_EQ(doc.status, 200) << doc.body;
  if (run(DEBIAN_PYTHON " -c 'import jsonschema'").first) {
    const auto file = write_temp("tilejson.json", doc.body);
    const auto [ok, out] = run(DEBIAN_PYTHON " -c 'import json,sys,jsonschema; jsonschema.validate(json.load(open(sys.argv[2])), "
                               "json.load(open(sys.argv[1])))' " MAPSVC_TILEJSON_SCHEMA " " + file.string());
    EXPECT_TRUE(ok) << out;
  } else {
    ADD_FAILURE() << "python3-jsonschema is not installed (scripts/install-deps)";
  }

  const auto zxy = plots_tile(svc.port());
  ASSERT_FALSE(zxy.empty());
  const auto tile = fetch(svc.port(), "GET", "/gis/plots,beacons,cadzones/" + zxy + ".pbf");
  ASSERT_EQ(tile.status, 200);
  if (!have("ogrinfo")) GTEST_SKIP() << "ogrinfo (Debian package gdal-bin) not installed";
  // Named z/x/y.pbf, GDAL's vector tile driver places the tile on the map itself.
  const auto file = write_temp(zxy + ".pbf", tile.body);
  const auto [ok, out] = run("ogrinfo -ro -q " + file.string());
  EXPECT_TRUE(ok) << out;
  const auto plots = out.find("plots"), beacons = out.find("beacons"), cadzones = out.find("cadzones");
  EXPECT_NE(plots, std::string::npos) << out;
  EXPECT_NE(beacons, std::string::npos) << out;
  EXPECT_NE(cadzones, std::string::npos) << out;
  const auto [feature_ok, features] = run("ogrinfo -ro -so " + file.string() + " plots");
  EXPECT_TRUE(feature_ok) << features;
  EXPECT_NE(features.find("PLOT_NO: String"), std::string::npos) << features;
}

// curl asks before sending a body over 1 MB (Expect: 100-continue) and waits a second for an
// answer; one it sends the header with is refused before it sends the body.
TEST(Uploads, CurlIsNotHeldBackAndARefusalComesFirst) {
  if (!have("curl")) GTEST_SKIP() << "curl not installed";
  running_mapsvc svc(1, {{"REDIS_PORT", std::to_string(free_port())}, {"MAPSVC_ADMIN_TOKEN", "s3cret"}});
  const auto body = write_temp("upload.json", std::string(2 * 1024 * 1024, ' ') + "{}");
  const auto base = "curl -s -o /dev/null -w '%{http_code} %{time_total}' http://127.0.0.1:" + std::to_string(svc.port());
  const auto timed = [](const std::string& out) {
    std::istringstream in(out);
    int status = 0;
    double seconds = 0;
    in >> status >> seconds;
    return std::make_pair(status, seconds);
  };
  const auto [plan_ok, plan] = run(base + "/plots/plan --data-binary @" + body.string());
  ASSERT_TRUE(plan_ok) << plan;
  EXPECT_EQ(timed(plan).first, 422) << plan;
  EXPECT_LT(timed(plan).second, 0.5) << plan;

  const auto [purge_ok, purge] = run(base + "/gis/cache/invalidate/plots -H 'Expect: 100-continue' -d x");
  ASSERT_TRUE(purge_ok) << purge;
  EXPECT_EQ(timed(purge).first, 401) << purge;
  EXPECT_LT(timed(purge).second, 0.5) << purge;
}

}  // namespace
}  // namespace mapsvc_test
