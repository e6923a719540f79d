// Deltas' patches: a vector tile written as an edit of its older version, and a package read
// tile by tile through its directories.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/http/representation.hpp"
#include "mvt_patch.hpp"
#include "package.hpp"
#include "pmtiles.hpp"
#include "tile_patch.hpp"

namespace {

using namespace mapsvc::tiles;

// A vector tile written as the database writes them: keys and values numbered in the order
// features first use them.
struct feature {
  std::uint64_t id;
  std::vector<std::pair<std::string, std::string>> tags;
  std::string geometry;  // packed commands, opaque here
};
struct layer {
  std::string name;
  std::vector<feature> features;
};

void varint(std::string& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out += static_cast<char>((v & 0x7f) | 0x80);
  out += static_cast<char>(v);
}
void bytes_field(std::string& out, int tag, const std::string& payload) {
  varint(out, static_cast<std::uint64_t>(tag) << 3 | 2);
  varint(out, payload.size());
  out += payload;
}
std::string string_value(const std::string& s) {
  std::string v;
  bytes_field(v, 1, s);
  return v;
}

std::string encode(const std::vector<layer>& layers) {
  std::string tile;
  for (const auto& l : layers) {
    std::map<std::string, std::uint64_t> keys, values;
    std::vector<std::string> key_order, value_order;
    std::string body;
    varint(body, 15 << 3);
    varint(body, 2);
    bytes_field(body, 1, l.name);
    for (const auto& f : l.features) {
      std::string tags, message;
      for (const auto& [k, v] : f.tags) {
        if (keys.emplace(k, keys.size()).second) key_order.push_back(k);
        const auto value = string_value(v);
        if (values.emplace(value, values.size()).second) value_order.push_back(value);
        varint(tags, keys[k]);
        varint(tags, values[value]);
      }
      varint(message, 1 << 3);
      varint(message, f.id);
      bytes_field(message, 2, tags);
      varint(message, 3 << 3);
      varint(message, 3);
      bytes_field(message, 4, f.geometry);
      bytes_field(body, 2, message);
    }
    for (const auto& k : key_order) bytes_field(body, 3, k);
    for (const auto& v : value_order) bytes_field(body, 4, v);
    varint(body, 5 << 3);
    varint(body, 4096);
    bytes_field(tile, 3, body);
  }
  return tile;
}

const char* const USES[] = {"Residential", "Commercial", "Institutional", "Agricultural", "Industrial"};

layer plots(std::size_t count, std::uint32_t seed = 7) {
  std::mt19937 random(seed);
  layer l{"plots", {}};
  for (std::size_t i = 0; i < count; ++i) {
    feature f{i + 1, {{"PLOT_NO", "P-" + std::to_string(1000 + i)}, {"GENERAL_LU", USES[random() % 5]}}, {}};
    for (int b = 0; b < 24; ++b) f.geometry += static_cast<char>(random() % 256);
    l.features.push_back(f);
  }
  return l;
}

TEST(TilePatch, ALandUseNoTileHadYetCostsAboutTheFeatureNotTheTile) {
  const auto before = plots(600);
  auto after = before;
  // A new value at the first feature renumbers every value after it, in most features' tags.
  after.features[0].tags[1].second = "Residential (edited)";
  const auto was = encode({before}), now = encode({after});
  const auto patch = make_patch(was, now);
  EXPECT_TRUE(is_patch(patch));
  EXPECT_FALSE(is_patch(host::http::gzip_compress(now)));
  EXPECT_LT(patch.size(), 80u) << "of a tile of " << now.size() << " bytes";
  EXPECT_EQ(apply_patch(was, patch), now);
}

TEST(TilePatch, EveryKindOfChangeComesBackByteForByte) {
  const auto base = plots(300);
  const auto was = encode({base, plots(40, 9)});
  std::vector<std::pair<std::string, std::vector<layer>>> cases;
  auto removed = base, added = base, moved = base, retagged = base;
  removed.features.erase(removed.features.begin() + 10, removed.features.begin() + 20);
  added.features.insert(added.features.begin() + 5, feature{9999, {{"STATUS", "new"}, {"PLOT_NO", "X"}}, "geom"});
  std::swap(moved.features[3], moved.features[250]);
  moved.features[3].geometry = "moved elsewhere";
  retagged.features[100].tags.erase(retagged.features[100].tags.begin());
  cases.push_back({"features removed", {removed, plots(40, 9)}});
  cases.push_back({"a feature with a new key added", {added, plots(40, 9)}});
  cases.push_back({"features reordered, one moved", {moved, plots(40, 9)}});
  cases.push_back({"a tag dropped", {retagged, plots(40, 9)}});
  cases.push_back({"a layer dropped", {base}});
  cases.push_back({"a layer added", {base, plots(40, 9), layer{"beacons", plots(20, 3).features}}});
  cases.push_back({"layers swapped", {plots(40, 9), base}});
  cases.push_back({"every feature new", {plots(300, 11), plots(40, 9)}});
  cases.push_back({"nothing left", {}});
  for (const auto& [what, layers] : cases) {
    const auto now = encode(layers);
    EXPECT_TRUE(mvt_script(was, now)) << what;
    EXPECT_EQ(apply_patch(was, make_patch(was, now)), now) << what;
  }
  // Bytes that are no vector tile, old or new, still make a patch (of the whole tile).
  const std::string junk("\x0a\xff\xff\xff\xff\x0f not a tile", 16);
  EXPECT_FALSE(mvt_script(junk, was));
  EXPECT_EQ(apply_patch(junk, make_patch(junk, was)), was);
  EXPECT_EQ(apply_patch(was, make_patch(was, junk)), junk);
  EXPECT_EQ(apply_patch("", make_patch("", was)), was);
}

TEST(TilePatch, APatchAppliesOnlyToItsTileAndDamageIsRefusedNeverRead) {
  const auto was = encode({plots(200)});
  auto after = plots(200);
  after.features[7].tags[1].second = "Edited";
  const auto now = encode({after});
  const auto patch = make_patch(was, now);
  EXPECT_THROW(apply_patch(encode({plots(200, 8)}), patch), std::runtime_error);
  for (std::size_t i = 0; i < patch.size(); ++i) {
    auto bad = patch;
    bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    try {
      EXPECT_EQ(apply_patch(was, bad), now) << "byte " << i << " flipped and still right (unused bit)";
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_THROW(apply_patch(was, patch.substr(0, patch.size() - 1)), std::runtime_error);

  // Scripts are read with bounds on every count and on what they make: mutated scripts throw
  // or give some tile, and a script repeating the whole old layer stops at the limit.
  const auto script = *mvt_script(was, now);
  std::mt19937 random(1);
  for (int i = 0; i < 3000; ++i) {
    auto bad = script;
    for (int n = 0; n < 1 + i % 4; ++n) bad[random() % bad.size()] = static_cast<char>(random() % 256);
    try {
      apply_mvt_script(was, bad, 1 << 20);
    } catch (const std::runtime_error&) {
    }
  }
  std::string bomb;
  varint(bomb, 2);  // a layer
  varint(bomb, 1);  // the old one
  for (int i = 0; i < 10000; ++i) {
    varint(bomb, 2);  // features
    varint(bomb, 0);
    varint(bomb, 200);
  }
  varint(bomb, 0);
  EXPECT_THROW(apply_mvt_script(was, bomb, 1 << 20), std::runtime_error);
}

TEST(PackageReader, FindsEachTileThroughLeafDirectoriesAndNothingElse) {
  const auto dir = std::filesystem::temp_directory_path() / ("package_find_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::map<std::tuple<int, std::uint32_t, std::uint32_t>, std::string> tiles;
  {
    pmtiles::archive_writer w(dir / "many.pmtiles");
    // Distinct tiles enough that the root points at leaves, with random gaps between them.
    std::mt19937 random(5);
    for (std::uint32_t x = 0; x < 1024; ++x)
      for (std::uint32_t y = 0; y < 1024; ++y) {
        if (random() % 16) continue;
        const auto bytes = host::http::gzip_compress(std::to_string(x) + "/" + std::to_string(y));
        tiles[{10, x, y}] = bytes;
        w.add({10, x, y}, bytes);
      }
    const auto h = w.finish({R"({"vector_layers":[]})"});
    ASSERT_GT(h.leaves_length, 0u);
  }
  const package_reader reader(dir / "many.pmtiles");
  for (const auto& [at, bytes] : tiles) EXPECT_EQ(reader.find(std::get<0>(at), std::get<1>(at), std::get<2>(at)), bytes);
  for (std::uint32_t x = 0; x < 1024; x += 7)
    for (std::uint32_t y = 0; y < 1024; y += 5)
      if (!tiles.contains({10, x, y})) {
        EXPECT_FALSE(reader.find(10, x, y)) << x << "/" << y;
      }
  EXPECT_FALSE(reader.find(9, 0, 0));
  EXPECT_FALSE(reader.find(11, 2047, 2047));
  EXPECT_FALSE(reader.find(10, 1024, 0)) << "beyond the zoom's grid";
  EXPECT_FALSE(reader.find(40, 0, 0));

  auto mb = open_package(package_format::mbtiles, dir / "few.mbtiles");
  mb->add(3, 2, 1, host::http::gzip_compress("three"));
  mb->add(0, 0, 0, host::http::gzip_compress("zero"));
  package_description d;
  d.name = "plots";
  d.exported_at = "2026-12-10T00:00:00Z";
  mb->finish(d);
  const package_reader few(dir / "few.mbtiles");
  EXPECT_EQ(gunzip(*few.find(3, 2, 1)), "three");
  EXPECT_EQ(gunzip(*few.find(0, 0, 0)), "zero");
  EXPECT_FALSE(few.find(3, 2, 6)) << "rows count from the south there";
  std::filesystem::remove_all(dir);
}

}  // namespace
