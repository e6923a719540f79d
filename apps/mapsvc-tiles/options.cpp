#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <set>

#include <fmt/format.h>

namespace mapsvc::tiles {
namespace {

constexpr int MIN_ZOOM = 1, MAX_ZOOM = 20;
constexpr double EARTH_HALF = 20037508.342789244;
constexpr double MAX_LATITUDE = 85.0511287798066;

std::optional<long> whole(std::string_view text) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

std::optional<double> number(std::string_view text) {
  // from_chars for doubles is in g++ 12's library; strtod would accept "inf" and hex.
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    const auto at = text.find(sep, start);
    out.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return out;
    start = at + 1;
  }
}

long whole_in(const std::string& what, const std::string& text, long min, long max) {
  const auto v = whole(text);
  if (!v || *v < min || *v > max)
    throw usage_error(fmt::format("{} must be a whole number from {} to {}, got '{}'", what, min, max, text));
  return *v;
}

}  // namespace

zoom_range parse_zoom_range(std::string_view text) {
  const auto parts = split(text, '-');
  const auto bad = [&] {
    return usage_error(fmt::format("--zoom needs A-B or Z with zooms from {} to {}, got '{}'", MIN_ZOOM, MAX_ZOOM, text));
  };
  if (parts.size() > 2) throw bad();
  const auto a = whole(parts.front()), b = whole(parts.back());
  if (!a || !b || *a < MIN_ZOOM || *b > MAX_ZOOM || *a > *b) throw bad();
  return {static_cast<int>(*a), static_cast<int>(*b)};
}

tile_gateway::wgs84_box parse_bbox(std::string_view text) {
  const auto parts = split(text, ',');
  const auto bad = [&](std::string_view why) {
    return usage_error(fmt::format("--bbox needs W,S,E,N in degrees ({}), got '{}'", why, text));
  };
  if (parts.size() != 4) throw bad("four numbers");
  double v[4];
  for (int i = 0; i < 4; ++i) {
    const auto n = number(parts[i]);
    if (!n) throw bad("four numbers");
    v[i] = *n;
  }
  if (v[0] < -180 || v[2] > 180 || v[1] < -90 || v[3] > 90) throw bad("longitudes -180..180, latitudes -90..90");
  if (!(v[0] < v[2]) || !(v[1] < v[3])) throw bad("W < E and S < N");
  return {v[0], v[1], v[2], v[3]};
}

tile_gateway::mercator_box to_mercator(const tile_gateway::wgs84_box& b) {
  const auto y = [](double lat) {
    lat = std::clamp(lat, -MAX_LATITUDE, MAX_LATITUDE);
    return std::log(std::tan(std::numbers::pi / 4 + lat * std::numbers::pi / 360)) * EARTH_HALF / std::numbers::pi;
  };
  const auto x = [](double lon) { return lon * EARTH_HALF / 180; };
  return {x(b.west), y(b.south), x(b.east), y(b.north)};
}

std::vector<std::string> parse_layers(std::string_view text, const tile_gateway::layer_catalogue& catalogue) {
  std::vector<std::string> out;
  std::set<std::string_view> seen;
  for (const auto name : split(text, ',')) {
    if (!catalogue.contains(name))
      throw usage_error(fmt::format("--layers: unknown layer '{}' (layers: {})", name, fmt::join(catalogue.keys(), ", ")));
    if (!seen.insert(name).second) throw usage_error(fmt::format("--layers: '{}' named twice", name));
    out.emplace_back(name);
  }
  return out;
}

namespace {

enum class walk_command { seed, exporting };

seed_options parse_walk_args(walk_command command, const std::vector<std::string>& args, const env_lookup& env,
                             const tile_gateway::layer_catalogue& catalogue) {
  const bool seeding = command == walk_command::seed;
  seed_options o;
  std::optional<package_format> format;
  o.layers = catalogue.keys();
  if (auto v = env("DATABASE_URL"); v && !v->empty()) o.database_url = *v;
  if (auto v = env("MAPSVC_CACHE_TTL_WITH_FEED"); seeding && v && !v->empty()) {
    const auto ttl = whole_in("MAPSVC_CACHE_TTL_WITH_FEED", *v, 0, 31'536'000);
    if (ttl > 0) o.cache_ttl_with_feed = static_cast<int>(ttl);
  }
  bool zoom_given = false, layers_given = false;
  int areas = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      continue;
    }
    if (arg == "--dry-run") {
      o.dry_run = true;
      continue;
    }
    if (!seeding && (arg == "-o" || arg.rfind("-o", 0) == 0) && arg.rfind("--", 0) != 0) {
      std::string file = arg.substr(2);
      if (file.empty()) {
        if (i + 1 >= args.size()) throw usage_error("option -o needs a file name");
        file = args[++i];
      }
      if (file.empty()) throw usage_error("option -o needs a file name");
      o.output = file;
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw usage_error("unexpected argument '" + arg + "' (see --help)");
    std::string key = arg.substr(2), value;
    if (const auto eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
    } else {
      if (i + 1 >= args.size()) throw usage_error("option --" + key + " needs a value");
      value = args[++i];
    }
    if (key == "layers") {
      o.layers = parse_layers(value, catalogue);
      layers_given = true;
    }
    else if (key == "zoom") {
      o.zooms = parse_zoom_range(value);
      zoom_given = true;
    } else if (key == "bbox") {
      o.bbox = parse_bbox(value);
      o.area = area_kind::bbox;
      o.area_text = value;
      ++areas;
    } else if (key == "district" || key == "lga") {
      if (value.empty()) throw usage_error("--" + key + " needs a name");
      for (const char ch : value)
        if (static_cast<unsigned char>(ch) < 0x20) throw usage_error("--" + key + ": a name without control characters");
      o.area = key == "district" ? area_kind::district : area_kind::lga;
      o.area_text = value;
      ++areas;
    } else if (key == "concurrency") o.concurrency = static_cast<int>(whole_in("--concurrency", value, 1, 256));
    else if (!seeding && key == "output") {
      if (value.empty()) throw usage_error("--output needs a file name");
      o.output = value;
    } else if (!seeding && key == "format") {
      format = parse_package_format(value);
      if (!format) throw usage_error("--format must be pmtiles or mbtiles, got '" + value + "'");
    } else if (!seeding && key == "since") {
      if (value.empty()) throw usage_error("--since needs the package to update");
      o.since = value;
    } else if (!seeding && (key == "resume" || key == "cache-ttl-with-feed"))
      throw usage_error("--" + key + " is an option of seed, not of export");
    else if (key == "resume") {
      if (value.empty()) throw usage_error("--resume needs a file name");
      o.state_path = value;
      o.resume = true;
    } else if (key == "database-url") o.database_url = value;
    else if (key == "cache-ttl-with-feed") {
      const auto ttl = whole_in("--cache-ttl-with-feed", value, 0, 31'536'000);
      o.cache_ttl_with_feed = ttl == 0 ? std::nullopt : std::optional<int>(static_cast<int>(ttl));
    } else if (key == "stop-after") o.stop_after = static_cast<std::uint64_t>(whole_in("--stop-after", value, 1, 1L << 62));
    else throw usage_error("unknown option --" + key + " (see --help)");
  }
  if (o.help) return o;
  if (!o.since.empty()) {
    if (zoom_given || layers_given || areas > 0)
      throw usage_error("--since takes the layers, zooms and area of the package it updates; leave them out");
    if (o.dry_run) throw usage_error("--dry-run counts a walk; --since has none");
    zoom_given = true;
  }
  if (!zoom_given) throw usage_error("--zoom A-B is needed");
  if (areas > 1) throw usage_error("give one area at most: --bbox, --district or --lga");
  if (!seeding) {
    if (o.output.empty()) throw usage_error("-o FILE is needed (the package to write)");
    const auto named = package_format_of(o.output);
    if (format && named && *format != *named)
      throw usage_error(fmt::format("--format {} does not match the file name {}", format == package_format::pmtiles ? "pmtiles" : "mbtiles",
                                    o.output.string()));
    if (!format && !named)
      throw usage_error("give --format pmtiles|mbtiles, or a file name ending in .pmtiles or .mbtiles");
    o.format = format ? *format : *named;
  }
  return o;
}

}  // namespace

seed_options parse_seed_args(const std::vector<std::string>& args, const env_lookup& env,
                             const tile_gateway::layer_catalogue& catalogue) {
  return parse_walk_args(walk_command::seed, args, env, catalogue);
}

seed_options parse_export_args(const std::vector<std::string>& args, const env_lookup& env,
                               const tile_gateway::layer_catalogue& catalogue) {
  return parse_walk_args(walk_command::exporting, args, env, catalogue);
}

std::string walk_signature(const seed_options& o) {
  constexpr const char* kinds[] = {"extent", "bbox", "district", "lga"};
  return fmt::format("layers={} zoom={}-{} area={}:{}", fmt::join(o.layers, ","), o.zooms.min, o.zooms.max,
                     kinds[static_cast<int>(o.area)], o.area_text);
}

const std::string seed_usage = R"(usage: mapsvc-tiles seed --zoom A-B [options]

Builds the tiles of an area from the database and stores them in the tile cache under the
keys, values and lifetimes the server uses, so that every instance serves them as hits. Per
layer, each tile of the first zoom is followed by its children, depth first; a tile with
nothing in it ends its branch (nothing can lie below it).

  --zoom A-B             zooms to build (1-20; "Z" for one)
  --layers LIST          comma list of layers (default: all)
  --bbox W,S,E,N         the area in EPSG:4326 degrees
  --district NAME        the area of a district ("Districts"."name")
  --lga NAME             the area of an LGA ("LGAs"."name")
                         (none of the three: each layer's own extent)
  --concurrency N        tiles built at once, each on a database connection of its own (4)
  --dry-run              count the tiles of the walk (every branch: without skipping the
                         ones below empty tiles) and exit
  --resume STATE         continue the run recorded in STATE when it exists (the same layers,
                         zooms and area), else start one and record it there
                         (default record: ./mapsvc-tiles-seed.state, started afresh)
  --database-url URL     DATABASE_URL ()" + std::string(host::DEFAULT_DATABASE_URL) + R"()
  --cache-ttl-with-feed S  MAPSVC_CACHE_TTL_WITH_FEED: as the server, store tiles for S seconds
                         when the change feed is installed (0: the zoom's lifetime)
  --stop-after N         stop as an interruption would after N tiles (for tests)
  -h, --help             this text

The cache is the server's: REDIS_HOST, REDIS_PORT, REDIS_DB, or REDIS_CLUSTER_NODES, or
REDIS_SENTINELS with REDIS_SENTINEL_MASTER. A tile that fails is tried three times; the
summary lists those that still failed. Ctrl-C stops after the tiles in flight and keeps the
record for --resume.

exit status: 0 all tiles done, 1 some failed, 2 bad options, 130 interrupted (record kept)
)";

apply_options parse_apply_args(const std::vector<std::string>& args) {
  apply_options o;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      o.help = true;
    } else if (arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size() || args[i + 1].empty()) throw usage_error(arg + " needs a file name");
      o.output = args[++i];
    } else if (arg.rfind("--output=", 0) == 0 && arg.size() > 9) {
      o.output = arg.substr(9);
    } else if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
      throw usage_error("unknown option " + arg + " (see --help)");
    } else {
      files.push_back(arg);
    }
  }
  if (o.help) return o;
  if (files.size() != 2) throw usage_error("give the package and the delta: apply PACKAGE DELTA -o FILE");
  if (o.output.empty()) throw usage_error("-o FILE is needed (the updated package)");
  o.package = files[0];
  o.delta = files[1];
  return o;
}

const std::string export_usage = R"(usage: mapsvc-tiles export --zoom A-B -o FILE [options]

Writes the tiles of an area, built from the database as it stands, into one file for use
off the network: PMTiles (version 3) or MBTiles (1.3), gzip-compressed vector tiles. Several
layers go into each tile together, in the order named (as /gis/plots,beacons/{z}/{x}/{y}
serves them). The package records the change-feed position its tiles reflect.

  -o, --output FILE      the package (written aside and renamed once complete)
  --format F             pmtiles or mbtiles (default: from the file name's extension)
  --zoom A-B             zooms to export (1-20; "Z" for one)
  --layers LIST          comma list of layers (default: all)
  --bbox W,S,E,N         the area in EPSG:4326 degrees
  --district NAME        the area of a district ("Districts"."name")
  --lga NAME             the area of an LGA ("LGAs"."name")
                         (none of the three: the layers' own extents)
  --concurrency N        tiles built at once, each on a database connection of its own (4)
  --dry-run              count the tiles of the walk and exit
  --since PACKAGE        write a delta instead: only the tiles that the change feed says
                         changed since PACKAGE was exported (its layers, zooms and area; tiles
                         now empty listed as removed; a tile PACKAGE holds written as a patch
                         against it). `mapsvc-tiles apply` makes the updated package from it.
  --database-url URL     DATABASE_URL ()" + std::string(host::DEFAULT_DATABASE_URL) + R"()
  -h, --help             this text

A tile that fails is tried three times; if any still fails, no package is written. Ctrl-C
stops without writing one. A package older than the change feed's history (kept 7 days)
cannot have a delta: export it afresh.

exit status: 0 package written, 1 tiles failed or the package could not be written,
2 bad options, 130 interrupted
)";

const char* const apply_usage = R"(usage: mapsvc-tiles apply PACKAGE DELTA -o FILE

Writes FILE: PACKAGE with the tiles of DELTA (written by `export --since PACKAGE`) in place
of its own and the tiles DELTA removes left out, in PACKAGE's format. The result holds what a
fresh export would have at the delta's change-feed position. FILE may be PACKAGE itself: it is
replaced once the new one is complete.

exit status: 0 written, 1 the files do not fit together or cannot be read or written,
2 bad options
)";

}  // namespace mapsvc::tiles
