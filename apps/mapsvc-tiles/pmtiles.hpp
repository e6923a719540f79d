#pragma once
// Offline packages in the PMTiles format, version 3: one file holding a 127-byte header, a
// root directory, the metadata JSON, leaf directories and the tiles, found by their position
// on the Hilbert curve of their zoom. The encoding parts are pure; `archive_writer` streams
// tiles through a scratch file, so that no package is ever held in memory.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mapsvc::tiles::pmtiles {

// The highest zoom a tile id can address here (ids stay within 64 bits up to zoom 31).
inline constexpr int MAX_ZOOM = 31;

// The tile's position: every tile of the lower zooms, then its index on the Hilbert curve of
// zoom z. Throws std::invalid_argument for a zoom or column/row out of range.
std::uint64_t tile_id(int z, std::uint32_t x, std::uint32_t y);

struct tile_address {
  int z;
  std::uint32_t x, y;
  friend bool operator==(const tile_address&, const tile_address&) = default;
};
// The inverse of tile_id.
tile_address address_of(std::uint64_t id);

// A directory entry: `run_length` tiles from `tile_id` on share the bytes at `offset` (from
// the start of the tile data) and `length`; run_length 0 points at a leaf directory instead.
struct entry {
  std::uint64_t tile_id;
  std::uint64_t offset;
  std::uint32_t length;
  std::uint32_t run_length;
  friend bool operator==(const entry&, const entry&) = default;
};

// The entries (in ascending tile id) as the format stores them before
// compression: their count, then the columns of delta-coded ids, run lengths, lengths, and
// offsets (0 where an entry follows the previous one's bytes, offset + 1 elsewhere), as varints.
std::string serialize_directory(std::span<const entry> entries);
// The inverse, for tests and checks; throws std::invalid_argument on malformed input.
std::vector<entry> parse_directory(std::string_view bytes);

// The root directory and the leaf directories after it, both gzip-compressed. With more entries
// than fit in `root_limit` bytes, leaves take runs of entries (4 096 at first, more until the
// root fits) and the root points at them.
struct directories {
  std::string root;
  std::string leaves;
  std::size_t leaf_count = 0;
};
directories build_directories(std::span<const entry> entries, std::size_t root_limit = 16384 - 127);

enum class compression : std::uint8_t { unknown = 0, none = 1, gzip = 2 };
enum class tile_type : std::uint8_t { unknown = 0, mvt = 1 };

struct header {
  std::uint64_t root_offset = 0, root_length = 0;
  std::uint64_t metadata_offset = 0, metadata_length = 0;
  std::uint64_t leaves_offset = 0, leaves_length = 0;
  std::uint64_t data_offset = 0, data_length = 0;
  std::uint64_t addressed_tiles = 0, tile_entries = 0, tile_contents = 0;
  bool clustered = true;
  compression internal_compression = compression::gzip;
  compression tile_compression = compression::gzip;
  tile_type type = tile_type::mvt;
  std::uint8_t min_zoom = 0, max_zoom = 0;
  double west = -180, south = -85.05112878, east = 180, north = 85.05112878;
  std::uint8_t center_zoom = 0;
  double center_lon = 0, center_lat = 0;
};
inline constexpr std::size_t HEADER_BYTES = 127;
std::string serialize_header(const header& h);
header parse_header(std::string_view bytes);

// What the package says about itself beyond its tiles.
struct archive_info {
  std::string metadata_json;  // written gzip-compressed
  double west = -180, south = -85.05112878, east = 180, north = 85.05112878;
  std::uint8_t center_zoom = 0;
  double center_lon = 0, center_lat = 0;
};

// Writes a package: tiles come in any order (their bytes gzip-compressed already, never empty),
// each distinct content is kept once in a scratch file beside the output, and finish() writes
// the file with the tiles in tile-id order (clustered) and runs of equal neighbours merged.
// Memory: about 40 bytes per tile, never the tiles' bytes.
class archive_writer {
 public:
  explicit archive_writer(std::filesystem::path output);
  ~archive_writer();
  archive_writer(const archive_writer&) = delete;
  archive_writer& operator=(const archive_writer&) = delete;

  // Throws std::invalid_argument for empty bytes or a tile added twice (at finish).
  void add(const tile_address& tile, std::string_view compressed_bytes);
  std::size_t tiles() const { return placed_.size(); }
  // Writes the package (to a temporary name, renamed over `output` once complete; with no tiles
  // too, as a delta that only removes tiles is) and returns its header. Throws std::runtime_error on an I/O failure.
  header finish(const archive_info& info);

 private:
  struct blob {
    std::uint64_t scratch_offset;
    std::uint32_t length;
  };
  struct placed {
    std::uint64_t tile_id;
    std::uint32_t blob;
  };
  struct hash128 {
    std::uint64_t low, high;
    friend bool operator==(const hash128&, const hash128&) = default;
  };
  struct hash128_hasher {
    std::size_t operator()(const hash128& h) const { return static_cast<std::size_t>(h.low ^ (h.high * 31)); }
  };

  std::filesystem::path output_, scratch_path_;
  std::FILE* scratch_ = nullptr;
  std::uint64_t scratch_size_ = 0;
  std::vector<blob> blobs_;
  std::unordered_map<hash128, std::uint32_t, hash128_hasher> blob_of_;
  std::vector<placed> placed_;
};

}  // namespace mapsvc::tiles::pmtiles
