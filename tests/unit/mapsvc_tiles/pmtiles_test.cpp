// The package encoding: tile ids on the Hilbert curve, directories, the header, and a written
// package read back (the format's own reader checks the same file in pmtiles_reader.test.mjs).
#include <gtest/gtest.h>

#include <libdeflate.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "host/http/representation.hpp"
#include "pmtiles.hpp"

namespace pm = mapsvc::tiles::pmtiles;

namespace {

std::string gunzip(std::string_view bytes) {
  std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  for (std::size_t room = 1024 + bytes.size() * 8;; room *= 4) {
    std::string out(room, '\0');
    std::size_t n = 0;
    const auto r = libdeflate_gzip_decompress(d.get(), bytes.data(), bytes.size(), out.data(), out.size(), &n);
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE) continue;
    if (r != LIBDEFLATE_SUCCESS) throw std::runtime_error("not gzip");
    out.resize(n);
    return out;
  }
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The entry covering `id` in a package's directories, as a reader finds it.
std::optional<pm::entry> find(const std::string& file, const pm::header& h, std::uint64_t id) {
  auto dir = pm::parse_directory(gunzip(std::string_view(file).substr(h.root_offset, h.root_length)));
  for (int depth = 0; depth < 3; ++depth) {
    auto it = std::upper_bound(dir.begin(), dir.end(), id,
                               [](std::uint64_t v, const pm::entry& e) { return v < e.tile_id; });
    if (it == dir.begin()) return std::nullopt;
    const auto e = *std::prev(it);
    if (e.run_length == 0) {
      dir = pm::parse_directory(gunzip(std::string_view(file).substr(h.leaves_offset + e.offset, e.length)));
      continue;
    }
    if (id < e.tile_id + e.run_length) return e;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

TEST(PmtilesIds, FollowTheHilbertCurveZoomAfterZoomAndComeBack) {
  EXPECT_EQ(pm::tile_id(0, 0, 0), 0u);
  // Zoom 1 in curve order: (0,0) (0,1) (1,1) (1,0).
  EXPECT_EQ(pm::tile_id(1, 0, 0), 1u);
  EXPECT_EQ(pm::tile_id(1, 0, 1), 2u);
  EXPECT_EQ(pm::tile_id(1, 1, 1), 3u);
  EXPECT_EQ(pm::tile_id(1, 1, 0), 4u);
  EXPECT_EQ(pm::tile_id(2, 0, 0), 5u);
  EXPECT_EQ(pm::tile_id(20, 0, 0), 366503875925u);  // (4^20 - 1) / 3
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const int z = static_cast<int>(rng() % 32);
    const auto side = std::uint64_t{1} << z;
    const pm::tile_address t{z, static_cast<std::uint32_t>(rng() % side), static_cast<std::uint32_t>(rng() % side)};
    ASSERT_EQ(pm::address_of(pm::tile_id(t.z, t.x, t.y)), t) << t.z << "/" << t.x << "/" << t.y;
  }
  // Neighbours on the curve are neighbours on the map.
  for (std::uint64_t id = pm::tile_id(6, 0, 0); id + 1 < pm::tile_id(7, 0, 0); ++id) {
    const auto a = pm::address_of(id), b = pm::address_of(id + 1);
    ASSERT_EQ(std::abs(static_cast<long>(a.x) - static_cast<long>(b.x)) + std::abs(static_cast<long>(a.y) - static_cast<long>(b.y)), 1);
  }
  EXPECT_THROW(pm::tile_id(32, 0, 0), std::invalid_argument);
  EXPECT_THROW(pm::tile_id(3, 8, 0), std::invalid_argument);
}

TEST(PmtilesDirectories, RoundTripAndCodeFollowingOffsetsAsZero) {
  const std::vector<pm::entry> entries{{5, 0, 100, 1}, {6, 100, 50, 3}, {20, 0, 100, 1}, {1000000, 150, 7, 1}};
  const auto bytes = pm::serialize_directory(entries);
  EXPECT_EQ(pm::parse_directory(bytes), entries);
  // 4 entries; ids 5 +1 +14 +999980; runs; lengths; offsets 0+1, follows (0), 0+1, 150+1.
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 4);
  EXPECT_EQ(bytes.substr(bytes.size() - 5), std::string("\x01\x00\x01\x97\x01", 5));
  EXPECT_TRUE(pm::parse_directory(pm::serialize_directory({})).empty());
  EXPECT_THROW(pm::parse_directory(bytes.substr(0, bytes.size() - 1)), std::invalid_argument);
  EXPECT_THROW(pm::parse_directory("\xff\xff\xff\xff\x0f"), std::invalid_argument);
}

TEST(PmtilesDirectories, TooManyEntriesForTheRootGoToLeavesAndEveryIdIsFound) {
  std::vector<pm::entry> entries;
  std::mt19937_64 rng(3);
  std::uint64_t id = 0, offset = 0;
  for (int i = 0; i < 200000; ++i) {
    id += 1 + rng() % 5;
    const auto length = static_cast<std::uint32_t>(50 + rng() % 5000);
    entries.push_back({id, offset, length, 1});
    offset += length;
  }
  const auto dirs = pm::build_directories(entries);
  EXPECT_LE(dirs.root.size(), 16384u - 127u);
  EXPECT_GT(dirs.leaf_count, 1u);
  std::size_t seen = 0;
  for (const auto& r : pm::parse_directory(gunzip(dirs.root))) {
    EXPECT_EQ(r.run_length, 0u);
    for (const auto& e : pm::parse_directory(gunzip(std::string_view(dirs.leaves).substr(r.offset, r.length))))
      ASSERT_EQ(e, entries[seen++]);
  }
  EXPECT_EQ(seen, entries.size());
}

TEST(PmtilesHeader, HoldsEveryFieldIn127Bytes) {
  pm::header h;
  h.root_offset = 127;
  h.root_length = 300;
  h.data_length = 1ull << 40;
  h.addressed_tiles = 12;
  h.min_zoom = 8;
  h.max_zoom = 18;
  h.west = 7.25;
  h.south = -9.5;
  h.center_lon = 7.4913;
  h.center_lat = 9.0579;
  h.center_zoom = 14;
  const auto bytes = pm::serialize_header(h);
  ASSERT_EQ(bytes.size(), pm::HEADER_BYTES);
  EXPECT_EQ(bytes.substr(0, 8), std::string("PMTiles\x03", 8));
  const auto back = pm::parse_header(bytes);
  EXPECT_EQ(back.root_length, 300u);
  EXPECT_EQ(back.data_length, 1ull << 40);
  EXPECT_EQ(back.max_zoom, 18);
  EXPECT_DOUBLE_EQ(back.south, -9.5);
  EXPECT_NEAR(back.center_lat, 9.0579, 1e-7);
  EXPECT_EQ(back.internal_compression, pm::compression::gzip);
}

TEST(PmtilesWriter, KeepsEachContentOnceInTileOrderAndMergesRuns) {
  const auto dir = std::filesystem::temp_directory_path() / ("pmtiles_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "out.pmtiles";
  pm::archive_writer w(path);
  const auto same = host::http::gzip_compress("the same bytes");
  // Added out of order; a run of four equal tiles along the curve at z3, one more elsewhere.
  for (std::uint64_t id = pm::tile_id(3, 0, 0) + 4; id-- > pm::tile_id(3, 0, 0);) {
    const auto t = pm::address_of(id);
    w.add(t, same);
  }
  w.add({3, 7, 7}, same);
  w.add({2, 1, 1}, host::http::gzip_compress("two"));
  w.add({0, 0, 0}, host::http::gzip_compress("zero"));
  const auto h = w.finish({R"({"vector_layers":[]})", 1, 2, 3, 4, 2, 1.5, 2.5});

  const auto file = read_file(path);
  EXPECT_EQ(pm::parse_header(file).data_length, h.data_length);
  EXPECT_EQ(h.addressed_tiles, 7u);
  EXPECT_EQ(h.tile_entries, 4u);   // zero, two, the run of four, the lone one
  EXPECT_EQ(h.tile_contents, 3u);  // each content once
  EXPECT_EQ(h.min_zoom, 0);
  EXPECT_EQ(h.max_zoom, 3);
  EXPECT_TRUE(h.clustered);
  EXPECT_EQ(file.size(), h.data_offset + h.data_length);
  EXPECT_EQ(gunzip(std::string_view(file).substr(h.metadata_offset, h.metadata_length)), R"({"vector_layers":[]})");
  const auto tile = [&](int z, std::uint32_t x, std::uint32_t y) -> std::optional<std::string> {
    const auto e = find(file, h, pm::tile_id(z, x, y));
    if (!e) return std::nullopt;
    return gunzip(std::string_view(file).substr(h.data_offset + e->offset, e->length));
  };
  EXPECT_EQ(tile(0, 0, 0), "zero");
  EXPECT_EQ(tile(2, 1, 1), "two");
  EXPECT_EQ(tile(3, 7, 7), "the same bytes");
  EXPECT_EQ(tile(3, 0, 1), "the same bytes");
  EXPECT_FALSE(tile(2, 0, 0));
  EXPECT_FALSE(tile(3, 6, 6));

  pm::archive_writer twice(dir / "twice.pmtiles");
  twice.add({1, 0, 0}, same);
  twice.add({1, 0, 0}, same);
  EXPECT_THROW(twice.finish({}), std::invalid_argument);
  EXPECT_FALSE(std::filesystem::exists(dir / "twice.pmtiles"));
  pm::archive_writer none(dir / "none.pmtiles");
  EXPECT_EQ(none.finish({}).addressed_tiles, 0u);
  std::filesystem::remove_all(dir);
}
