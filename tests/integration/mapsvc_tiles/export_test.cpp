// mapsvc-tiles export against the fixture database: the packages hold exactly what the
// composite tile route serves, and readers no one here wrote (GDAL for MBTiles, the format's
// npm reader for PMTiles) read them.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "package.hpp"
#include "support.hpp"
#include "tile_patch.hpp"
#include "tools.hpp"

namespace {

using namespace tile_test;
namespace fs = std::filesystem;

std::string gunzip(const std::string& gzipped) {
  std::string out(16u << 20, '\0');
  auto* d = libdeflate_alloc_decompressor();
  std::size_t n = 0;
  const auto rc = libdeflate_gzip_decompress(d, gzipped.data(), gzipped.size(), out.data(), out.size(), &n);
  libdeflate_free_decompressor(d);
  if (rc != LIBDEFLATE_SUCCESS) throw std::runtime_error("not a gzip member");
  out.resize(n);
  return out;
}

std::string hex(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes) out += fmt::format("{:02x}", c);
  return out;
}

struct mbtiles_content {
  std::map<std::string, std::string> tiles;  // "z/x/y" (XYZ rows) -> uncompressed bytes
  std::map<std::string, std::string> metadata;
};

mbtiles_content read_mbtiles(const fs::path& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) throw std::runtime_error("open");
  mbtiles_content content;
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles", -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) {
    const int z = sqlite3_column_int(s, 0);
    const auto x = sqlite3_column_int64(s, 1), row = sqlite3_column_int64(s, 2);
    const std::string data(static_cast<const char*>(sqlite3_column_blob(s, 3)),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, 3)));
    content.tiles[fmt::format("{}/{}/{}", z, x, (std::int64_t{1} << z) - 1 - row)] = gunzip(data);
  }
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db, "SELECT name, value FROM metadata", -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW)
    content.metadata[reinterpret_cast<const char*>(sqlite3_column_text(s, 0))] =
        reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
  sqlite3_finalize(s);
  sqlite3_close(db);
  return content;
}

class Export : public tools_test {
 protected:
  fs::path dir = fs::temp_directory_path() / fmt::format("export-test-{}", ::getpid());
  void SetUp() override {
    tools_test::SetUp();
    fs::create_directories(dir);
  }
  void TearDown() override {
    fs::remove_all(dir);
    tools_test::TearDown();
  }
  static const std::vector<std::string>& sources() {
    static const std::vector<std::string> names{"plots", "beacons"};
    return names;
  }
};

TEST_F(Export, PackagesHoldWhatTheCompositeRouteServesAndTheirReadersReadThem) {
  const auto mbtiles = dir / "area.mbtiles", pmtiles = dir / "area.pmtiles";
  const std::string walk = "--zoom 15-17 --layers plots,beacons --bbox " + area();
  const auto mb = tool("export " + walk + " --concurrency 3 -o " + mbtiles.string());
  ASSERT_EQ(mb.status, 0) << mb.out;
  const auto pm = tool("export " + walk + " --concurrency 2 -o " + pmtiles.string());
  ASSERT_EQ(pm.status, 0) << pm.out;
  EXPECT_TRUE(redis.keys("mvt_v8:plots:*").empty()) << "an export's tiles do not go into the cache";
  EXPECT_FALSE(fs::exists(mbtiles.string() + ".partial"));
  EXPECT_FALSE(fs::exists(pmtiles.string() + ".partial"));

  // Every tile of the MBTiles is the composite route's answer; every other tile of the walk
  // is empty there.
  const auto content = read_mbtiles(mbtiles);
  ASSERT_FALSE(content.tiles.empty());
  service svc;
  const auto t = data_tile();
  std::vector<std::string> walked;
  for (int z = 15; z <= 17; ++z)
    for (long long dx = 0; dx < (3LL << (z - 15)); ++dx)
      for (long long dy = 0; dy < (1LL << (z - 15)); ++dy)
        walked.push_back(fmt::format("{}/{}/{}", z, (t.x << (z - 15)) + dx, (t.y << (z - 15)) + dy));
  for (const auto& zxy : walked) {
    const auto reply = svc.get("/gis/plots,beacons/" + zxy + ".pbf");
    const auto found = content.tiles.find(zxy);
    if (reply.status == 200u) {
      ASSERT_NE(found, content.tiles.end()) << zxy;
      EXPECT_EQ(found->second, reply.body) << zxy;
    } else {
      EXPECT_EQ(found, content.tiles.end()) << zxy << " is empty: " << reply.status;
    }
  }
  const auto json = nlohmann::json::parse(content.metadata.at("json"));
  ASSERT_EQ(json.at("vector_layers").size(), 2u);
  EXPECT_EQ(json["vector_layers"][0]["id"], "plots");
  EXPECT_EQ(json["vector_layers"][1]["id"], "beacons");
  EXPECT_TRUE(json["mapsvc"].contains("feed_position"));
  EXPECT_EQ(content.metadata.at("format"), "pbf");
  EXPECT_EQ(content.metadata.at("maxzoom"), "17");

  // GDAL reads the MBTiles as vector tiles.
  const auto gdal = run_command("ogrinfo -ro -so -al " + mbtiles.string() + " 2>&1");
  EXPECT_EQ(gdal.status, 0) << gdal.out;
  EXPECT_NE(gdal.out.find("Layer name: plots"), std::string::npos) << gdal.out;

  // The format's own reader finds the same tiles in the PMTiles, and nothing where MBTiles has none.
  const auto list = dir / "tiles.txt";
  {
    std::ofstream out(list);
    for (const auto& zxy : walked) out << zxy << '\n';
  }
  const auto read = run_command(fmt::format("node {} {} < {} 2>&1", READ_PMTILES_SCRIPT, pmtiles.string(), list.string()));
  ASSERT_EQ(read.status, 0) << read.out;
  std::istringstream lines(read.out);
  std::string first;
  std::getline(lines, first);
  const auto described = nlohmann::json::parse(first);
  EXPECT_EQ(described["metadata"]["vector_layers"].size(), 2u);
  EXPECT_EQ(described["header"]["minZoom"], 15);
  EXPECT_EQ(described["header"]["maxZoom"], 17);
  std::string line;
  std::size_t seen = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string zxy, length, bytes;
    fields >> zxy >> length >> bytes;
    const auto found = content.tiles.find(zxy);
    if (length == "none") {
      EXPECT_EQ(found, content.tiles.end()) << zxy;
      continue;
    }
    ASSERT_NE(found, content.tiles.end()) << zxy;
    EXPECT_EQ(bytes, hex(found->second)) << zxy;
    ++seen;
  }
  EXPECT_EQ(seen, content.tiles.size());
}

TEST_F(Export, AnInterruptedOrRefusedExportLeavesNoPackage) {
  const auto file = dir / "cut.pmtiles";
  const auto cut = tool("export --zoom 14-18 --layers plots,beacons --bbox " + area() + " --stop-after 3 -o " + file.string());
  EXPECT_EQ(cut.status, 130) << cut.out;
  EXPECT_NE(cut.out.find("no package written"), std::string::npos) << cut.out;
  EXPECT_TRUE(fs::is_empty(dir)) << "nothing left behind";

  EXPECT_EQ(tool("export --zoom 15 --bbox " + area()).status, 2);  // no -o
  EXPECT_EQ(tool("export --zoom 15 -o " + (dir / "a.zip").string()).status, 2);
  EXPECT_EQ(tool("export --zoom 15 --format mbtiles -o " + file.string()).status, 2);
  EXPECT_EQ(tool("export --zoom 15 --resume x -o " + file.string()).status, 2);
  EXPECT_TRUE(fs::is_empty(dir));
}

// The addresses of a package's tiles ("z/x/y"), and how many of them are patches.
std::pair<std::set<std::string>, int> addresses_of(const fs::path& file) {
  std::set<std::string> out;
  int patches = 0;
  mapsvc::tiles::package_reader(file).for_each_tile([&](const mapsvc::tiles::package_tile& t) {
    out.insert(fmt::format("{}/{}/{}", t.z, t.x, t.y));
    patches += mapsvc::tiles::is_patch(t.gzipped);
  });
  return {out, patches};
}

// Every tile of a package, uncompressed, by "z/x/y".
std::map<std::string, std::string> tiles_of(const fs::path& file) {
  std::map<std::string, std::string> out;
  mapsvc::tiles::package_reader(file).for_each_tile(
      [&](const mapsvc::tiles::package_tile& t) { out[fmt::format("{}/{}/{}", t.z, t.x, t.y)] = gunzip(t.gzipped); });
  return out;
}

class Delta : public Export {
 protected:
  static void SetUpTestSuite() { fixture_db::install_change_feed(); }
  pg_admin db{fixture_db::url()};
  const std::string walk = "--zoom 15-17 --layers plots,beacons --bbox " + area();

  // Plots of the data tile, by id.
  std::vector<std::string> plots_in_data_tile() {
    const auto t = data_tile();
    const auto b = host::helpers::bounds_of(t.z, t.x, t.y);
    return db.exec(fmt::format("SELECT \"ID\" FROM \"PLOT\" WHERE \"GEOMETRY_3857\" && ST_MakeEnvelope({}, {}, {}, {}, 3857) "
                               "ORDER BY \"ID\" LIMIT 2",
                               b.minx + 1, b.miny + 1, b.maxx - 1, b.maxy - 1));
  }
};

// Edits after an export: the delta holds only what they touched, and the package it updates
// equals a fresh export tile for tile (a delta in the other format works as well).
TEST_F(Delta, AppliedToItsPackageGivesWhatAFreshExportGives) {
  const auto base = dir / "base.pmtiles", delta = dir / "delta.mbtiles", updated = dir / "updated.pmtiles",
             fresh = dir / "fresh.pmtiles";
  ASSERT_EQ(tool("export " + walk + " -o " + base.string()).status, 0);
  const auto ids = plots_in_data_tile();
  ASSERT_EQ(ids.size(), 2u);
  const auto use = db.exec("SELECT \"GENERAL_LU\" FROM \"PLOT\" WHERE \"ID\" = " + ids[0]).at(0);
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = 'Edited after the export' WHERE \"ID\" = " + ids[0]);
  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", 15, -10) WHERE \"ID\" = " + ids[1]);

  const auto d = tool("export --since " + base.string() + " -o " + delta.string());
  const auto a = tool("apply " + base.string() + " " + delta.string() + " -o " + updated.string());
  const auto f = tool("export " + walk + " -o " + fresh.string());
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = '" + use + "' WHERE \"ID\" = " + ids[0]);
  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", -15, 10) WHERE \"ID\" = " + ids[1]);
  ASSERT_EQ(d.status, 0) << d.out;
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(f.status, 0) << f.out;

  const auto before = tiles_of(base), after = tiles_of(updated), expected = tiles_of(fresh);
  const auto [changed, patches] = addresses_of(delta);
  EXPECT_EQ(after, expected);
  EXPECT_GE(patches, 3) << "tiles the package held travel as patches";
  EXPECT_NE(after, before);
  EXPECT_LT(changed.size(), before.size()) << d.out;
  EXPECT_GE(changed.size(), 3u) << "the edited plots' tile at each of three zooms";
  EXPECT_EQ(changed.count(fmt::format("{}/{}/{}", data_tile().z, data_tile().x + 2, data_tile().y)), 0u)
      << "an untouched tile";
  const auto position = [](const fs::path& file) {
    return mapsvc::tiles::description_of(mapsvc::tiles::package_reader(file).metadata()).feed_position.value_or(-1);
  };
  EXPECT_GT(position(updated), position(base));

  // Into a file of the other format, applied twice, or to another package, it is refused.
  EXPECT_EQ(tool("apply " + base.string() + " " + delta.string() + " -o " + (dir / "x.mbtiles").string()).status, 1);
  EXPECT_EQ(tool("apply " + updated.string() + " " + delta.string() + " -o " + (dir / "twice.pmtiles").string()).status, 1);
  EXPECT_FALSE(fs::exists(dir / "twice.pmtiles"));
}

TEST_F(Delta, APackageOlderThanTheKeptHistoryGetsAClearRefusal) {
  const auto base = dir / "old.pmtiles", delta = dir / "old-delta.pmtiles";
  ASSERT_EQ(tool("export " + walk + " -o " + base.string()).status, 0);
  // Changes recorded and then pruned from the history.
  db.exec("SELECT nextval('mapsvc_feed.position_seq')");
  db.exec("SELECT nextval('mapsvc_feed.position_seq')");
  db.exec("DELETE FROM mapsvc_feed.history");
  const auto r = tool("export --since " + base.string() + " -o " + delta.string());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Export the package afresh"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(delta));
  EXPECT_EQ(tool("export --since " + base.string() + " --zoom 15 -o " + delta.string()).status, 2);
}

}  // namespace
