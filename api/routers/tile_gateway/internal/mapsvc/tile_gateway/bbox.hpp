#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mapsvc::tile_gateway {

// Box tiles: a vector tile for an arbitrary rectangle in EPSG:4326 or EPSG:3857.

inline constexpr std::int64_t SRID_WGS84 = 4326;
inline constexpr std::int64_t SRID_WEB_MERCATOR = 3857;
// Simplification tolerance (EPSG:3857 metres) for boxes too large to ship in full detail.
inline constexpr int BBOX_SIMPLIFY_TOLERANCE = 50;
// WGS84 boxes up to this many square degrees are never simplified.
inline constexpr double BBOX_SIMPLIFY_MIN_AREA = 0.01;
inline constexpr std::chrono::milliseconds BBOX_QUERY_TIMEOUT{20'000};

// Converts the request box to EPSG:3857 in the database. Binds :x1, :y1, :x2, :y2 and
// :input_srid; yields one row with min_x, min_y, max_x, max_y.
inline constexpr std::string_view BBOX_TRANSFORM_SQL =
    "\n"
    "            SELECT \n"
    "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,\n"
    "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y\n"
    "            FROM (\n"
    "                SELECT ST_Transform(\n"
    "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857\n"
    "                ) as bbox_3857\n"
    "            ) as sub\n"
    "        ";

// The detail text of the first check the request fails, or none: first the SRID (4326 or
// 3857 only), then, for 4326, check_wgs84_bbox. Every failure is a client error (400).
std::optional<std::string> check_bbox_request(std::int64_t srid, double minx, double miny, double maxx,
                                              double maxy);

// Longitudes within [-180, 180], then latitudes within [-90, 90] (NaN fails both), then an
// area of at most MAX_BBOX_AREA_WGS84 square degrees. Corner order is not checked.
std::optional<std::string> check_wgs84_bbox(double minx, double miny, double maxx, double maxy);

// The client's feature limit, capped at MAX_FEATURES_GLOBAL. No lower bound.
std::int64_t clamp_max_features(std::int64_t requested) noexcept;

// "bbox:{layer}:{minx}:{miny}:{maxx}:{maxy}:{max_features}:{True|False}" with the EPSG:3857
// corners rounded to whole metres (ties to even, "-0" kept, "nan"/"inf" for non-finite), so
// boxes that differ by less than a metre share one entry. Pass `max_features` clamped.
std::string bbox_cache_key(std::string_view layer_name, double min_x_3857, double min_y_3857, double max_x_3857,
                           double max_y_3857, std::int64_t max_features, bool simplify);

// Whether the box tile's geometries are simplified: only when asked, only for WGS84 boxes
// and only above BBOX_SIMPLIFY_MIN_AREA square degrees. `minx`..`maxy` are the request's.
bool should_simplify_bbox(bool simplify, std::int64_t srid, double minx, double miny, double maxx,
                          double maxy) noexcept;

// The box tile statement for a catalogue layer. Binds :min_x, :min_y, :max_x, :max_y
// (EPSG:3857) and :max_features; yields one row with the bytea column `mvt`.
// Throws unknown_layer_error for a name outside the catalogue.
std::string bbox_tile_sql(std::string_view layer_name, bool simplified);

}  // namespace mapsvc::tile_gateway
