#pragma once
// Offline packages of tiles, as `mapsvc-tiles export` writes them: PMTiles (version 3) or
// MBTiles (1.3), both with gzip-compressed vector tiles and a description of their layers.
// A package appears under its name only once complete; an abandoned one leaves nothing.

#include <cstdint>
#include <filesystem>
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
};

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

}  // namespace mapsvc::tiles
