#pragma once
// Offline packages of tiles, as `mapsvc-tiles export` writes them: PMTiles (version 3) or
// MBTiles (1.3), both with gzip-compressed vector tiles and a description of their layers.
// A package appears under its name only once complete; an abandoned one leaves nothing.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tiles {

enum class package_format { pmtiles, mbtiles };

// "pmtiles" or "mbtiles"; none for anything else.
std::optional<package_format> parse_package_format(std::string_view text);
// From the file name's extension (".pmtiles", ".mbtiles"); none for others.
std::optional<package_format> package_format_of(const std::filesystem::path& file);

// What a package says about itself.
struct package_description {
  std::string name;  // the layers, comma-separated, as a map client names the source
  int min_zoom = 0, max_zoom = 0;
  tile_gateway::wgs84_box bounds{-180, -85.05112878, 180, 85.05112878};
  // TileJSON's vector_layers of the layers (id, fields, minzoom, maxzoom).
  nlohmann::ordered_json vector_layers = nlohmann::ordered_json::array();
  // The last change of the database's change feed the tiles reflect; none without the feed.
  std::optional<std::int64_t> feed_position;
  std::string exported_at;  // ISO 8601, UTC
  std::string area;         // the area as asked ("extent", "bbox:W,S,E,N", "district:NAME", ...)
  // The area walked, EPSG:3857 (a delta covers the same, whatever became of a district since).
  std::optional<tile_gateway::mercator_box> walk_area;
  // A delta: the feed position of the package it updates, and the tiles it removes from it.
  struct tile_ref {
    int z;
    std::uint32_t x, y;
    friend auto operator<=>(const tile_ref&, const tile_ref&) = default;
  };
  std::optional<std::int64_t> delta_since;
  std::vector<tile_ref> removed;
};

// The description a package's metadata holds (inverse of package_metadata). Throws
// std::runtime_error when the metadata is not of a package of ours.
package_description description_of(const nlohmann::ordered_json& metadata);

// The metadata object: name, format, bounds, center, zooms, vector_layers, and under
// "mapsvc" where the package stands in the change feed.
nlohmann::ordered_json package_metadata(const package_description& d);

class package_writer {
 public:
  virtual ~package_writer() = default;
  // A tile's gzip-compressed bytes (never empty), in any order, each tile once.
  virtual void add(int z, std::uint32_t x, std::uint32_t y, std::string_view gzipped) = 0;
  // Writes the package under its name. Throws std::runtime_error on a failure to write.
  virtual void finish(const package_description& d) = 0;
  // Tiles added, and distinct contents among them where the format stores those once.
  virtual std::uint64_t tiles() const = 0;
};

// A writer of the format at `output`. Throws std::runtime_error when the file cannot be made.
std::unique_ptr<package_writer> open_package(package_format format, const std::filesystem::path& output);

// A package's tile uncompressed. Throws std::runtime_error when it is not a gzip member.
std::string gunzip(std::string_view gzipped);

struct package_tile {
  int z;
  std::uint32_t x, y;
  std::string gzipped;
};

// A package read back, of either format (told apart by its first bytes). Throws
// std::runtime_error for a file that is not a readable package.
class package_reader {
 public:
  explicit package_reader(const std::filesystem::path& file);
  ~package_reader();
  package_reader(const package_reader&) = delete;
  package_reader& operator=(const package_reader&) = delete;

  package_format format() const { return format_; }
  // The object package_metadata wrote.
  const nlohmann::ordered_json& metadata() const { return metadata_; }
  // Every tile, one at a time.
  void for_each_tile(const std::function<void(const package_tile&)>& visit) const;
  // One tile's bytes, none when the package does not hold it. Lookups near each other are
  // cheap (the directories last looked into are kept).
  std::optional<std::string> find(int z, std::uint32_t x, std::uint32_t y) const;

 private:
  struct lookup;
  std::filesystem::path file_;
  package_format format_;
  nlohmann::ordered_json metadata_;
  int fd_ = -1;
  mutable std::unique_ptr<lookup> lookup_;
};

}  // namespace mapsvc::tiles
