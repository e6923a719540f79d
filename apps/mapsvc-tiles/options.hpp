#pragma once
// The options of `mapsvc-tiles seed` and `mapsvc-tiles export`, parsed without touching the
// network.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/config.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "package.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tiles {

// A bad option or value: exit status 2.
struct usage_error : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct zoom_range {
  int min, max;
  friend bool operator==(const zoom_range&, const zoom_range&) = default;
};

// "A-B" or "Z", each a zoom the tiles are served at (1-20), A <= B.
zoom_range parse_zoom_range(std::string_view text);

// "W,S,E,N" in EPSG:4326 degrees, W < E and S < N, within -180..180 and -90..90.
tile_gateway::wgs84_box parse_bbox(std::string_view text);

// Spherical Mercator, latitudes clamped to the Web Mercator square.
tile_gateway::mercator_box to_mercator(const tile_gateway::wgs84_box& box);

// A comma list of layer names from the catalogue, in the order given; none twice.
std::vector<std::string> parse_layers(std::string_view text, const tile_gateway::layer_catalogue& catalogue);

enum class area_kind { extent, bbox, district, lga };

struct seed_options {
  std::vector<std::string> layers;  // every layer of the catalogue when not given
  zoom_range zooms{0, 0};
  area_kind area = area_kind::extent;
  std::string area_text;  // the box as given, or the district's or LGA's name
  std::optional<tile_gateway::wgs84_box> bbox;
  int concurrency = 4;
  bool dry_run = false;
  std::string state_path = "mapsvc-tiles-seed.state";
  bool resume = false;  // continue from state_path when it exists
  std::string database_url = host::DEFAULT_DATABASE_URL;
  std::optional<int> cache_ttl_with_feed;
  std::uint64_t stop_after = 0;  // stop as if interrupted after this many tiles; 0: never
  bool help = false;
  // export: the package to write, and its format (from the option or the file's extension).
  std::filesystem::path output;
  package_format format = package_format::pmtiles;
  // export --since: the package to update (its layers, zooms and area are the delta's).
  std::filesystem::path since;
};

struct apply_options {
  std::filesystem::path package, delta, output;
  bool help = false;
};

// The arguments after "apply": PACKAGE DELTA -o FILE.
apply_options parse_apply_args(const std::vector<std::string>& args);

using env_lookup = std::function<std::optional<std::string>(const std::string&)>;

// The arguments after "seed"; DATABASE_URL and MAPSVC_CACHE_TTL_WITH_FEED from `env`, flags win.
// Throws usage_error naming the option.
seed_options parse_seed_args(const std::vector<std::string>& args, const env_lookup& env,
                             const tile_gateway::layer_catalogue& catalogue);

// The arguments after "export": the area, zoom and layer options of seed, plus -o FILE and
// --format; no cache options.
seed_options parse_export_args(const std::vector<std::string>& args, const env_lookup& env,
                               const tile_gateway::layer_catalogue& catalogue);

// What defines the walk (layers, zooms, area as asked): a resumed run must match it.
std::string walk_signature(const seed_options& o);

extern const std::string seed_usage;
extern const std::string export_usage;
extern const char* const apply_usage;

}  // namespace mapsvc::tiles
