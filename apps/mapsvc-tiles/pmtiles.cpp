#include "pmtiles.hpp"

#include <xxhash.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "host/http/representation.hpp"

namespace mapsvc::tiles::pmtiles {
namespace {

// The number of tiles of all zooms below z: (4^z - 1) / 3.
std::uint64_t tiles_below(int z) { return ((std::uint64_t{1} << (2 * z)) - 1) / 3; }

// One step of the Hilbert curve: the quadrant's frame turned back to the curve's.
void turn(std::uint64_t side, std::uint64_t& x, std::uint64_t& y, std::uint64_t rx, std::uint64_t ry) {
  if (ry != 0) return;
  if (rx == 1) {
    x = side - 1 - x;
    y = side - 1 - y;
  }
  std::swap(x, y);
}

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

std::uint64_t take_varint(std::string_view bytes, std::size_t& at) {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= bytes.size()) throw std::invalid_argument("directory ends inside a number");
    const auto b = static_cast<std::uint8_t>(bytes[at++]);
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
  }
  throw std::invalid_argument("directory holds a number longer than 64 bits");
}

template <typename T>
void put_le(std::string& out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out += static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xff);
}

template <typename T>
T take_le(std::string_view bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(bytes[at + i])) << (8 * i);
  return static_cast<T>(v);
}

std::int32_t fixed_degrees(double degrees) { return static_cast<std::int32_t>(std::lround(degrees * 1e7)); }

std::string compressed_directory(std::span<const entry> entries) {
  return host::http::gzip_compress(serialize_directory(entries));
}

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void write_all(std::FILE* f, std::string_view bytes, const std::filesystem::path& path) {
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
    throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

std::uint64_t tile_id(int z, std::uint32_t x, std::uint32_t y) {
  if (z < 0 || z > MAX_ZOOM) throw std::invalid_argument("zoom out of range: " + std::to_string(z));
  const std::uint64_t side = std::uint64_t{1} << z;
  if (x >= side || y >= side) throw std::invalid_argument("tile outside its zoom");
  std::uint64_t tx = x, ty = y, d = 0;
  for (std::uint64_t s = side / 2; s > 0; s /= 2) {
    const std::uint64_t rx = (tx & s) ? 1 : 0, ry = (ty & s) ? 1 : 0;
    d += s * s * ((3 * rx) ^ ry);
    turn(side, tx, ty, rx, ry);
  }
  return tiles_below(z) + d;
}

tile_address address_of(std::uint64_t id) {
  int z = 0;
  while (z < MAX_ZOOM && id >= tiles_below(z + 1)) ++z;
  std::uint64_t t = id - tiles_below(z), x = 0, y = 0;
  const std::uint64_t side = std::uint64_t{1} << z;
  if (t >= side * side) throw std::invalid_argument("tile id beyond the highest zoom");
  for (std::uint64_t s = 1; s < side; s *= 2) {
    const std::uint64_t rx = 1 & (t / 2), ry = 1 & (t ^ rx);
    turn(s, x, y, rx, ry);
    x += s * rx;
    y += s * ry;
    t /= 4;
  }
  return {z, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
}

std::string serialize_directory(std::span<const entry> entries) {
  std::string out;
  out.reserve(entries.size() * 6 + 8);
  put_varint(out, entries.size());
  std::uint64_t last_id = 0;
  for (const auto& e : entries) {
    if (e.tile_id < last_id) throw std::invalid_argument("directory entries out of order");
    put_varint(out, e.tile_id - last_id);
    last_id = e.tile_id;
  }
  for (const auto& e : entries) put_varint(out, e.run_length);
  for (const auto& e : entries) {
    if (e.length == 0) throw std::invalid_argument("a directory entry has no bytes");
    put_varint(out, e.length);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const bool follows = i > 0 && entries[i].offset == entries[i - 1].offset + entries[i - 1].length;
    put_varint(out, follows ? 0 : entries[i].offset + 1);
  }
  return out;
}

std::vector<entry> parse_directory(std::string_view bytes) {
  std::size_t at = 0;
  const auto count = take_varint(bytes, at);
  // Every entry takes at least four bytes: a count beyond that is a lie.
  if (count > bytes.size() / 4 + 1) throw std::invalid_argument("directory count out of range");
  std::vector<entry> entries(count);
  std::uint64_t id = 0;
  for (auto& e : entries) e.tile_id = id += take_varint(bytes, at);
  for (auto& e : entries) e.run_length = static_cast<std::uint32_t>(take_varint(bytes, at));
  for (auto& e : entries) e.length = static_cast<std::uint32_t>(take_varint(bytes, at));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto v = take_varint(bytes, at);
    if (v == 0 && i == 0) throw std::invalid_argument("the first entry cannot follow another");
    entries[i].offset = v == 0 ? entries[i - 1].offset + entries[i - 1].length : v - 1;
  }
  if (at != bytes.size()) throw std::invalid_argument("bytes after the directory");
  return entries;
}

directories build_directories(std::span<const entry> entries, std::size_t root_limit) {
  directories out;
  out.root = compressed_directory(entries);
  if (out.root.size() <= root_limit) return out;
  for (std::size_t per_leaf = 4096;; per_leaf += per_leaf / 5) {
    std::vector<entry> root;
    std::string leaves;
    for (std::size_t at = 0; at < entries.size(); at += per_leaf) {
      const auto chunk = entries.subspan(at, std::min(per_leaf, entries.size() - at));
      const auto leaf = compressed_directory(chunk);
      root.push_back({chunk.front().tile_id, leaves.size(), static_cast<std::uint32_t>(leaf.size()), 0});
      leaves += leaf;
    }
    auto root_bytes = compressed_directory(root);
    if (root_bytes.size() <= root_limit) {
      out.root = std::move(root_bytes);
      out.leaves = std::move(leaves);
      out.leaf_count = root.size();
      return out;
    }
  }
}

std::string serialize_header(const header& h) {
  std::string out = "PMTiles";
  out += static_cast<char>(3);
  for (const auto v : {h.root_offset, h.root_length, h.metadata_offset, h.metadata_length, h.leaves_offset,
                       h.leaves_length, h.data_offset, h.data_length, h.addressed_tiles, h.tile_entries,
                       h.tile_contents})
    put_le<std::uint64_t>(out, v);
  out += static_cast<char>(h.clustered ? 1 : 0);
  out += static_cast<char>(h.internal_compression);
  out += static_cast<char>(h.tile_compression);
  out += static_cast<char>(h.type);
  out += static_cast<char>(h.min_zoom);
  out += static_cast<char>(h.max_zoom);
  for (const auto v : {h.west, h.south, h.east, h.north}) put_le<std::uint32_t>(out, static_cast<std::uint32_t>(fixed_degrees(v)));
  out += static_cast<char>(h.center_zoom);
  put_le<std::uint32_t>(out, static_cast<std::uint32_t>(fixed_degrees(h.center_lon)));
  put_le<std::uint32_t>(out, static_cast<std::uint32_t>(fixed_degrees(h.center_lat)));
  return out;
}

header parse_header(std::string_view bytes) {
  if (bytes.size() < HEADER_BYTES || bytes.substr(0, 7) != "PMTiles" || bytes[7] != 3)
    throw std::invalid_argument("not a version 3 package");
  header h;
  std::uint64_t* fields[] = {&h.root_offset,   &h.root_length,    &h.metadata_offset, &h.metadata_length,
                             &h.leaves_offset, &h.leaves_length,  &h.data_offset,     &h.data_length,
                             &h.addressed_tiles, &h.tile_entries, &h.tile_contents};
  std::size_t at = 8;
  for (auto* f : fields) {
    *f = take_le<std::uint64_t>(bytes, at);
    at += 8;
  }
  h.clustered = bytes[96] == 1;
  h.internal_compression = static_cast<compression>(bytes[97]);
  h.tile_compression = static_cast<compression>(bytes[98]);
  h.type = static_cast<tile_type>(bytes[99]);
  h.min_zoom = static_cast<std::uint8_t>(bytes[100]);
  h.max_zoom = static_cast<std::uint8_t>(bytes[101]);
  const auto degrees = [&](std::size_t off) { return take_le<std::int32_t>(bytes, off) / 1e7; };
  h.west = degrees(102);
  h.south = degrees(106);
  h.east = degrees(110);
  h.north = degrees(114);
  h.center_zoom = static_cast<std::uint8_t>(bytes[118]);
  h.center_lon = degrees(119);
  h.center_lat = degrees(123);
  return h;
}

archive_writer::archive_writer(std::filesystem::path output)
    : output_(std::move(output)), scratch_path_(output_.string() + ".tiles.tmp") {
  scratch_ = std::fopen(scratch_path_.c_str(), "w+b");
  if (!scratch_) throw std::runtime_error("cannot create " + scratch_path_.string() + ": " + std::strerror(errno));
}

archive_writer::~archive_writer() {
  if (scratch_) std::fclose(scratch_);
  std::error_code ignored;
  std::filesystem::remove(scratch_path_, ignored);
}

void archive_writer::add(const tile_address& tile, std::string_view compressed_bytes) {
  if (compressed_bytes.empty()) throw std::invalid_argument("a tile of a package has bytes");
  if (compressed_bytes.size() > 0xffffffffu) throw std::invalid_argument("a tile of 4 GiB or more");
  const auto id = tile_id(tile.z, tile.x, tile.y);
  const auto digest = XXH3_128bits(compressed_bytes.data(), compressed_bytes.size());
  const hash128 key{digest.low64, digest.high64};
  auto found = blob_of_.find(key);
  if (found == blob_of_.end()) {
    write_all(scratch_, compressed_bytes, scratch_path_);
    blobs_.push_back({scratch_size_, static_cast<std::uint32_t>(compressed_bytes.size())});
    scratch_size_ += compressed_bytes.size();
    found = blob_of_.emplace(key, static_cast<std::uint32_t>(blobs_.size() - 1)).first;
  }
  placed_.push_back({id, found->second});
}

header archive_writer::finish(const archive_info& info) {
  std::sort(placed_.begin(), placed_.end(), [](const placed& a, const placed& b) { return a.tile_id < b.tile_id; });
  for (std::size_t i = 1; i < placed_.size(); ++i)
    if (placed_[i].tile_id == placed_[i - 1].tile_id) throw std::invalid_argument("a tile was added twice");

  // Contents in the order of their first tile (clustered); equal neighbours become runs.
  constexpr std::uint64_t UNPLACED = ~std::uint64_t{0};
  std::vector<std::uint64_t> final_offset(blobs_.size(), UNPLACED);
  std::vector<std::uint32_t> copy_order;
  std::vector<entry> entries;
  std::uint64_t data_length = 0;
  for (const auto& p : placed_) {
    const auto& b = blobs_[p.blob];
    if (final_offset[p.blob] == UNPLACED) {
      final_offset[p.blob] = data_length;
      data_length += b.length;
      copy_order.push_back(p.blob);
    }
    if (!entries.empty()) {
      auto& last = entries.back();
      if (last.offset == final_offset[p.blob] && last.tile_id + last.run_length == p.tile_id) {
        ++last.run_length;
        continue;
      }
    }
    entries.push_back({p.tile_id, final_offset[p.blob], b.length, 1});
  }

  const auto dirs = build_directories(entries);
  const auto metadata = host::http::gzip_compress(info.metadata_json);
  header h;
  h.root_offset = HEADER_BYTES;
  h.root_length = dirs.root.size();
  h.metadata_offset = h.root_offset + h.root_length;
  h.metadata_length = metadata.size();
  h.leaves_offset = h.metadata_offset + h.metadata_length;
  h.leaves_length = dirs.leaves.size();
  h.data_offset = h.leaves_offset + h.leaves_length;
  h.data_length = data_length;
  h.addressed_tiles = placed_.size();
  h.tile_entries = entries.size();
  h.tile_contents = copy_order.size();
  if (!placed_.empty()) {
    h.min_zoom = static_cast<std::uint8_t>(address_of(placed_.front().tile_id).z);
    h.max_zoom = static_cast<std::uint8_t>(address_of(placed_.back().tile_id).z);
  }
  h.west = info.west;
  h.south = info.south;
  h.east = info.east;
  h.north = info.north;
  h.center_zoom = info.center_zoom;
  h.center_lon = info.center_lon;
  h.center_lat = info.center_lat;

  if (std::fflush(scratch_) != 0) throw std::runtime_error("cannot write " + scratch_path_.string());
  const std::filesystem::path partial = output_.string() + ".partial";
  try {
    std::unique_ptr<std::FILE, file_closer> out(std::fopen(partial.c_str(), "wb"));
    if (!out) throw std::runtime_error("cannot create " + partial.string() + ": " + std::strerror(errno));
    write_all(out.get(), serialize_header(h), partial);
    write_all(out.get(), dirs.root, partial);
    write_all(out.get(), metadata, partial);
    write_all(out.get(), dirs.leaves, partial);
    std::string buffer;
    for (const auto index : copy_order) {
      const auto& b = blobs_[index];
      buffer.resize(b.length);
      if (fseeko(scratch_, static_cast<off_t>(b.scratch_offset), SEEK_SET) != 0 ||
          std::fread(buffer.data(), 1, b.length, scratch_) != b.length)
        throw std::runtime_error("cannot read back " + scratch_path_.string());
      write_all(out.get(), buffer, partial);
    }
    if (std::fflush(out.get()) != 0) throw std::runtime_error("cannot write " + partial.string());
    out.reset();
    std::filesystem::rename(partial, output_);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }
  return h;
}

}  // namespace mapsvc::tiles::pmtiles
