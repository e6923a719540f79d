#include "package.hpp"

#include <sqlite3.h>

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "pmtiles.hpp"

namespace mapsvc::tiles {
namespace {

using ojson = nlohmann::ordered_json;

double rounded(double degrees) { return std::round(degrees * 1e7) / 1e7; }

class pmtiles_package final : public package_writer {
 public:
  explicit pmtiles_package(const std::filesystem::path& output) : archive_(output) {}

  void add(int z, std::uint32_t x, std::uint32_t y, std::string_view gzipped) override {
    archive_.add({z, x, y}, gzipped);
  }

  void finish(const package_description& d) override {
    pmtiles::archive_info info;
    info.metadata_json = package_metadata(d).dump();
    info.west = d.bounds.west;
    info.south = d.bounds.south;
    info.east = d.bounds.east;
    info.north = d.bounds.north;
    info.center_zoom = static_cast<std::uint8_t>(d.min_zoom);
    info.center_lon = (d.bounds.west + d.bounds.east) / 2;
    info.center_lat = (d.bounds.south + d.bounds.north) / 2;
    archive_.finish(info);
  }

  std::uint64_t tiles() const override { return archive_.tiles(); }

 private:
  pmtiles::archive_writer archive_;
};

// MBTiles 1.3: an SQLite file with `metadata` (name, value) and `tiles` (rows counted from the
// south, as TMS does), built under a temporary name in one transaction.
class mbtiles_package final : public package_writer {
 public:
  explicit mbtiles_package(std::filesystem::path output)
      : output_(std::move(output)), partial_(output_.string() + ".partial") {
    std::error_code ignored;
    std::filesystem::remove(partial_, ignored);
    if (sqlite3_open_v2(partial_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      fail("cannot create");
    exec("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN;"
         "CREATE TABLE metadata (name TEXT NOT NULL, value TEXT);"
         "CREATE UNIQUE INDEX name ON metadata (name);"
         "CREATE TABLE tiles (zoom_level INTEGER NOT NULL, tile_column INTEGER NOT NULL, "
         "tile_row INTEGER NOT NULL, tile_data BLOB NOT NULL);"
         "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);");
    prepare(&insert_tile_, "INSERT INTO tiles VALUES (?, ?, ?, ?)");
    prepare(&insert_meta_, "INSERT INTO metadata VALUES (?, ?)");
  }

  ~mbtiles_package() override {
    sqlite3_finalize(insert_tile_);
    sqlite3_finalize(insert_meta_);
    sqlite3_close(db_);
    if (!finished_) {
      std::error_code ignored;
      std::filesystem::remove(partial_, ignored);
    }
  }

  void add(int z, std::uint32_t x, std::uint32_t y, std::string_view gzipped) override {
    if (gzipped.empty()) throw std::invalid_argument("a tile of a package has bytes");
    const auto tms_row = (std::int64_t{1} << z) - 1 - static_cast<std::int64_t>(y);
    sqlite3_bind_int(insert_tile_, 1, z);
    sqlite3_bind_int64(insert_tile_, 2, x);
    sqlite3_bind_int64(insert_tile_, 3, tms_row);
    sqlite3_bind_blob64(insert_tile_, 4, gzipped.data(), gzipped.size(), SQLITE_TRANSIENT);
    step(insert_tile_, "cannot add a tile to");
    ++tiles_;
  }

  void finish(const package_description& d) override {
    if (tiles_ == 0) throw std::runtime_error("the package would hold no tiles");
    const auto meta = package_metadata(d);
    const auto put = [&](const std::string& name, const std::string& value) {
      sqlite3_bind_text(insert_meta_, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert_meta_, 2, value.c_str(), -1, SQLITE_TRANSIENT);
      step(insert_meta_, "cannot describe");
    };
    put("name", d.name);
    put("format", "pbf");
    put("type", "overlay");
    put("version", "1");
    put("description", meta["description"].get<std::string>());
    put("minzoom", std::to_string(d.min_zoom));
    put("maxzoom", std::to_string(d.max_zoom));
    put("bounds", fmt::format("{},{},{},{}", rounded(d.bounds.west), rounded(d.bounds.south), rounded(d.bounds.east),
                              rounded(d.bounds.north)));
    put("center", fmt::format("{},{},{}", rounded((d.bounds.west + d.bounds.east) / 2),
                              rounded((d.bounds.south + d.bounds.north) / 2), d.min_zoom));
    put("json", ojson{{"vector_layers", meta["vector_layers"]}, {"mapsvc", meta["mapsvc"]}}.dump());
    exec("COMMIT");
    sqlite3_finalize(insert_tile_);
    sqlite3_finalize(insert_meta_);
    insert_tile_ = insert_meta_ = nullptr;
    if (sqlite3_close(db_) != SQLITE_OK) fail("cannot close");
    db_ = nullptr;
    std::filesystem::rename(partial_, output_);
    finished_ = true;
  }

  std::uint64_t tiles() const override { return tiles_; }

 private:
  [[noreturn]] void fail(std::string_view what) {
    throw std::runtime_error(fmt::format("{} {}: {}", what, partial_.string(), db_ ? sqlite3_errmsg(db_) : "no memory"));
  }
  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot write");
  }
  void prepare(sqlite3_stmt** statement, const char* sql) {
    if (sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) != SQLITE_OK) fail("cannot prepare");
  }
  void step(sqlite3_stmt* statement, std::string_view what) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc != SQLITE_DONE) fail(what);
  }

  std::filesystem::path output_, partial_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_tile_ = nullptr;
  sqlite3_stmt* insert_meta_ = nullptr;
  std::uint64_t tiles_ = 0;
  bool finished_ = false;
};

}  // namespace

std::optional<package_format> parse_package_format(std::string_view text) {
  if (text == "pmtiles") return package_format::pmtiles;
  if (text == "mbtiles") return package_format::mbtiles;
  return std::nullopt;
}

std::optional<package_format> package_format_of(const std::filesystem::path& file) {
  const auto extension = file.extension().string();
  if (extension.size() < 2) return std::nullopt;
  return parse_package_format(std::string_view(extension).substr(1));
}

ojson package_metadata(const package_description& d) {
  const double west = rounded(d.bounds.west), south = rounded(d.bounds.south), east = rounded(d.bounds.east),
               north = rounded(d.bounds.north);
  ojson mapsvc{{"feed_position", d.feed_position ? ojson(*d.feed_position) : ojson(nullptr)},
               {"exported_at", d.exported_at},
               {"area", d.area}};
  return ojson{{"name", d.name},
               {"description", fmt::format("Cadastral layers {} at zooms {}-{}", d.name, d.min_zoom, d.max_zoom)},
               {"format", "pbf"},
               {"type", "overlay"},
               {"minzoom", d.min_zoom},
               {"maxzoom", d.max_zoom},
               {"bounds", ojson::array({west, south, east, north})},
               {"center", ojson::array({rounded((west + east) / 2), rounded((south + north) / 2), d.min_zoom})},
               {"vector_layers", d.vector_layers},
               {"mapsvc", std::move(mapsvc)}};
}

std::unique_ptr<package_writer> open_package(package_format format, const std::filesystem::path& output) {
  if (format == package_format::mbtiles) return std::make_unique<mbtiles_package>(output);
  return std::make_unique<pmtiles_package>(output);
}

}  // namespace mapsvc::tiles
