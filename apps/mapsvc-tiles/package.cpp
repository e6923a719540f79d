#include "package.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <stdexcept>

#include <fmt/format.h>

#include "pmtiles.hpp"

namespace mapsvc::tiles {

std::string gunzip(std::string_view gzipped) {
  std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(libdeflate_alloc_decompressor(),
                                                                                     &libdeflate_free_decompressor);
  for (std::size_t room = std::max<std::size_t>(gzipped.size() * 4, 4096); room <= (std::size_t{1} << 32); room *= 4) {
    std::string out(room, '\0');
    std::size_t n = 0;
    const auto rc = libdeflate_gzip_decompress(d.get(), gzipped.data(), gzipped.size(), out.data(), out.size(), &n);
    if (rc == LIBDEFLATE_SUCCESS) {
      out.resize(n);
      return out;
    }
    if (rc != LIBDEFLATE_INSUFFICIENT_SPACE) break;
  }
  throw std::runtime_error("a compressed part of the package is damaged");
}

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


std::string read_at(int fd, std::uint64_t offset, std::uint64_t length, const std::filesystem::path& file) {
  if (length > (std::uint64_t{1} << 32)) throw std::runtime_error(file.string() + ": a part beyond 4 GiB");
  std::string out(length, '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    const auto n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    if (n <= 0) throw std::runtime_error(file.string() + ": cut short");
    got += static_cast<std::size_t>(n);
  }
  return out;
}

struct sqlite_closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct statement_closer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

std::unique_ptr<sqlite3, sqlite_closer> open_mbtiles(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, sqlite_closer> owned(db);
  if (rc != SQLITE_OK) throw std::runtime_error(file.string() + ": cannot open");
  return owned;
}

std::unique_ptr<sqlite3_stmt, statement_closer> prepared(sqlite3* db, const char* sql, const std::filesystem::path& file) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
    throw std::runtime_error(file.string() + ": not an MBTiles file (" + sqlite3_errmsg(db) + ")");
  return std::unique_ptr<sqlite3_stmt, statement_closer>(s);
}

// The metadata object of an MBTiles file, rebuilt from its rows as package_metadata has it.
ojson mbtiles_metadata(const std::filesystem::path& file) {
  const auto db = open_mbtiles(file);
  const auto rows = prepared(db.get(), "SELECT name, value FROM metadata", file);
  ojson out = ojson::object();
  while (sqlite3_step(rows.get()) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 0));
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 1));
    if (!name || !value) continue;
    const std::string key(name);
    if (key == "json") {
      const auto json = ojson::parse(value, nullptr, false);
      if (json.is_object())
        for (const auto& [k, v] : json.items()) out[k] = v;
    } else if (key == "minzoom" || key == "maxzoom") {
      out[key] = std::atoi(value);
    } else if (key == "bounds") {
      double b[4] = {};
      if (std::sscanf(value, "%lf,%lf,%lf,%lf", &b[0], &b[1], &b[2], &b[3]) == 4)
        out[key] = ojson::array({b[0], b[1], b[2], b[3]});
    } else {
      out[key] = value;
    }
  }
  return out;
}

}  // namespace

package_description description_of(const ojson& metadata) {
  try {
    package_description d;
    d.name = metadata.at("name").get<std::string>();
    d.min_zoom = metadata.at("minzoom").get<int>();
    d.max_zoom = metadata.at("maxzoom").get<int>();
    const auto& b = metadata.at("bounds");
    d.bounds = {b.at(0).get<double>(), b.at(1).get<double>(), b.at(2).get<double>(), b.at(3).get<double>()};
    d.vector_layers = metadata.at("vector_layers");
    const auto& mapsvc = metadata.at("mapsvc");
    if (!mapsvc.at("feed_position").is_null()) d.feed_position = mapsvc["feed_position"].get<std::int64_t>();
    d.exported_at = mapsvc.at("exported_at").get<std::string>();
    d.area = mapsvc.at("area").get<std::string>();
    if (const auto w = mapsvc.find("walk_area"); w != mapsvc.end())
      d.walk_area = tile_gateway::mercator_box{w->at(0).get<double>(), w->at(1).get<double>(), w->at(2).get<double>(),
                                               w->at(3).get<double>()};
    if (const auto delta = mapsvc.find("delta"); delta != mapsvc.end()) {
      d.delta_since = delta->at("since").get<std::int64_t>();
      for (const auto& t : delta->at("removed"))
        d.removed.push_back({t.at(0).get<int>(), t.at(1).get<std::uint32_t>(), t.at(2).get<std::uint32_t>()});
    }
    return d;
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(std::string("not a package of mapsvc-tiles export (") + e.what() + ")");
  }
}

// What find() keeps between lookups: the MBTiles file open with its query, or the PMTiles
// header, root directory and the leaf directories read last.
struct package_reader::lookup {
  std::unique_ptr<sqlite3, sqlite_closer> db;
  std::unique_ptr<sqlite3_stmt, statement_closer> tile_query;
  pmtiles::header header;
  std::vector<pmtiles::entry> root;
  std::map<std::uint64_t, std::vector<pmtiles::entry>> leaves;  // by offset
  static constexpr std::size_t LEAVES_KEPT = 64;
};

namespace {

// The entry holding `id` or the leaf that may: the last one starting at or before it.
const pmtiles::entry* entry_for(const std::vector<pmtiles::entry>& entries, std::uint64_t id) {
  auto after = std::upper_bound(entries.begin(), entries.end(), id,
                                [](std::uint64_t wanted, const pmtiles::entry& e) { return wanted < e.tile_id; });
  return after == entries.begin() ? nullptr : &*std::prev(after);
}

}  // namespace

package_reader::package_reader(const std::filesystem::path& file) : file_(file) {
  fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(file.string() + ": " + std::strerror(errno));
  char magic[16] = {};
  const auto n = ::pread(fd_, magic, sizeof magic, 0);
  const std::string_view head(magic, n > 0 ? static_cast<std::size_t>(n) : 0);
  try {
    if (head.starts_with("PMTiles")) {
      format_ = package_format::pmtiles;
      const auto h = pmtiles::parse_header(read_at(fd_, 0, pmtiles::HEADER_BYTES, file));
      metadata_ = ojson::parse(gunzip(read_at(fd_, h.metadata_offset, h.metadata_length, file)));
    } else if (head.starts_with("SQLite format 3")) {
      format_ = package_format::mbtiles;
      metadata_ = mbtiles_metadata(file);
    } else {
      throw std::runtime_error(file.string() + ": neither a PMTiles nor an MBTiles file");
    }
  } catch (const std::runtime_error&) {
    ::close(fd_);
    throw;
  } catch (const std::exception& e) {
    ::close(fd_);
    throw std::runtime_error(file.string() + ": " + e.what());
  }
}

package_reader::~package_reader() {
  if (fd_ >= 0) ::close(fd_);
}

void package_reader::for_each_tile(const std::function<void(const package_tile&)>& visit) const {
  if (format_ == package_format::mbtiles) {
    const auto db = open_mbtiles(file_);
    const auto rows = prepared(db.get(), "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles", file_);
    while (sqlite3_step(rows.get()) == SQLITE_ROW) {
      package_tile t;
      t.z = sqlite3_column_int(rows.get(), 0);
      if (t.z < 0 || t.z > 30) throw std::runtime_error(file_.string() + ": a tile at zoom " + std::to_string(t.z));
      t.x = static_cast<std::uint32_t>(sqlite3_column_int64(rows.get(), 1));
      t.y = static_cast<std::uint32_t>(((std::int64_t{1} << t.z) - 1) - sqlite3_column_int64(rows.get(), 2));
      const auto* data = static_cast<const char*>(sqlite3_column_blob(rows.get(), 3));
      t.gzipped.assign(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(rows.get(), 3)));
      visit(t);
    }
    return;
  }
  const auto h = pmtiles::parse_header(read_at(fd_, 0, pmtiles::HEADER_BYTES, file_));
  // Directories nest at most a few levels; a deeper chain is a damaged file.
  const std::function<void(std::uint64_t, std::uint64_t, int)> walk = [&](std::uint64_t offset, std::uint64_t length,
                                                                            int depth) {
    if (depth > 4) throw std::runtime_error(file_.string() + ": directories nested too deep");
    for (const auto& e : pmtiles::parse_directory(gunzip(read_at(fd_, offset, length, file_)))) {
      if (e.run_length == 0) {
        walk(h.leaves_offset + e.offset, e.length, depth + 1);
        continue;
      }
      const auto bytes = read_at(fd_, h.data_offset + e.offset, e.length, file_);
      for (std::uint64_t id = e.tile_id; id < e.tile_id + e.run_length; ++id) {
        const auto a = pmtiles::address_of(id);
        visit(package_tile{a.z, a.x, a.y, bytes});
      }
    }
  };
  walk(h.root_offset, h.root_length, 0);
}

std::optional<std::string> package_reader::find(int z, std::uint32_t x, std::uint32_t y) const {
  if (z < 0 || z > pmtiles::MAX_ZOOM || (z < 32 && (x >> z || y >> z))) return std::nullopt;
  if (!lookup_) {
    lookup_ = std::make_unique<lookup>();
    if (format_ == package_format::mbtiles) {
      lookup_->db = open_mbtiles(file_);
      lookup_->tile_query = prepared(
          lookup_->db.get(), "SELECT tile_data FROM tiles WHERE zoom_level = ? AND tile_column = ? AND tile_row = ?", file_);
    } else {
      lookup_->header = pmtiles::parse_header(read_at(fd_, 0, pmtiles::HEADER_BYTES, file_));
      lookup_->root = pmtiles::parse_directory(
          gunzip(read_at(fd_, lookup_->header.root_offset, lookup_->header.root_length, file_)));
    }
  }
  auto& l = *lookup_;
  if (format_ == package_format::mbtiles) {
    auto* q = l.tile_query.get();
    sqlite3_reset(q);
    sqlite3_bind_int(q, 1, z);
    sqlite3_bind_int64(q, 2, x);
    sqlite3_bind_int64(q, 3, ((std::int64_t{1} << z) - 1) - static_cast<std::int64_t>(y));
    const int rc = sqlite3_step(q);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) throw std::runtime_error(file_.string() + ": " + sqlite3_errmsg(l.db.get()));
    const auto* data = static_cast<const char*>(sqlite3_column_blob(q, 0));
    return std::string(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(q, 0)));
  }
  const auto id = pmtiles::tile_id(z, x, y);
  const auto* directory = &l.root;
  for (int depth = 0; depth <= 4; ++depth) {
    const auto* e = entry_for(*directory, id);
    if (!e) return std::nullopt;
    if (e->run_length > 0) {
      if (id >= e->tile_id + e->run_length) return std::nullopt;
      return read_at(fd_, l.header.data_offset + e->offset, e->length, file_);
    }
    auto leaf = l.leaves.find(e->offset);
    if (leaf == l.leaves.end()) {
      if (l.leaves.size() >= lookup::LEAVES_KEPT) l.leaves.clear();
      leaf = l.leaves
                 .emplace(e->offset, pmtiles::parse_directory(gunzip(
                                         read_at(fd_, l.header.leaves_offset + e->offset, e->length, file_))))
                 .first;
    }
    directory = &leaf->second;
  }
  throw std::runtime_error(file_.string() + ": directories nested too deep");
}

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
  if (d.walk_area)
    mapsvc["walk_area"] = ojson::array({d.walk_area->minx, d.walk_area->miny, d.walk_area->maxx, d.walk_area->maxy});
  if (d.delta_since) {
    ojson removed = ojson::array();
    for (const auto& t : d.removed) removed.push_back(ojson::array({t.z, t.x, t.y}));
    // A delta's tiles are gzip members or, for tiles the package holds, zstd frames made with
    // the package's tile (uncompressed) as their dictionary.
    mapsvc["delta"] = ojson{{"since", *d.delta_since}, {"removed", std::move(removed)}, {"patches", "zstd"}};
  }
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
