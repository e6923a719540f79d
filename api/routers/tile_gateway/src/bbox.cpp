#include "mapsvc/tile_gateway/bbox.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/errors.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"
#include "mapsvc/tile_gateway/tile_checks.hpp"
#include "mvt_statement.hpp"

namespace mapsvc::tile_gateway {

namespace {

// Whole metres as "%.0f" writes them (exact binary value, ties to even, "-0"), with
// Python's spelling of the non-finite values instead of glibc's "-nan".
std::string whole_metres(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];  // DBL_MAX needs 309 digits
  std::snprintf(buf, sizeof buf, "%.0f", value);
  return buf;
}

}  // namespace

std::optional<std::string> check_bbox_request(std::int64_t srid, double minx, double miny, double maxx,
                                              double maxy) {
  if (srid != SRID_WGS84 && srid != SRID_WEB_MERCATOR)
    return "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported";
  if (srid == SRID_WGS84) return check_wgs84_bbox(minx, miny, maxx, maxy);
  // No range applies in Web Mercator, but NaN or infinity is no box at all.
  if (!(std::isfinite(minx) && std::isfinite(miny) && std::isfinite(maxx) && std::isfinite(maxy)))
    return "Invalid Web Mercator coordinates";
  return std::nullopt;
}

std::optional<std::string> check_wgs84_bbox(double minx, double miny, double maxx, double maxy) {
  // Written as "not inside" so that NaN fails.
  if (!(minx >= -180 && minx <= 180 && maxx >= -180 && maxx <= 180)) return "Invalid longitude values";
  if (!(miny >= -90 && miny <= 90 && maxy >= -90 && maxy <= 90)) return "Invalid latitude values";
  if (calculate_bbox_area_degrees(minx, miny, maxx, maxy) > MAX_BBOX_AREA_WGS84)
    return fmt::format("Bounding box too large. Maximum area: {} square degrees", python_str(MAX_BBOX_AREA_WGS84));
  return std::nullopt;
}

std::int64_t clamp_max_features(std::int64_t requested) noexcept {
  return std::min<std::int64_t>(requested, MAX_FEATURES_GLOBAL);
}

std::string bbox_cache_key(std::string_view layer_name, double min_x_3857, double min_y_3857, double max_x_3857,
                           double max_y_3857, std::int64_t max_features, bool simplify) {
  return fmt::format("bbox:{}:{}:{}:{}:{}:{}:{}", layer_name, whole_metres(min_x_3857), whole_metres(min_y_3857),
                     whole_metres(max_x_3857), whole_metres(max_y_3857), max_features, simplify ? "True" : "False");
}

bool should_simplify_bbox(bool simplify, std::int64_t srid, double minx, double miny, double maxx,
                          double maxy) noexcept {
  // A Web Mercator box has no area in degrees; it counts as the threshold and so is never
  // simplified.
  const double area =
      srid == SRID_WGS84 ? calculate_bbox_area_degrees(minx, miny, maxx, maxy) : BBOX_SIMPLIFY_MIN_AREA;
  return simplify && area > BBOX_SIMPLIFY_MIN_AREA;
}

std::string bbox_tile_sql(std::string_view layer_name, bool simplified) {
  const layer_record* layer = LAYER_CONFIG().find(layer_name);
  if (!layer) throw unknown_layer_error(layer_name);
  const std::string geometry =
      simplified ? fmt::format("ST_SimplifyPreserveTopology({}, {})", layer->geom_col, BBOX_SIMPLIFY_TOLERANCE)
                 : layer->geom_col;
  const std::string filter = fmt::format("{0} && {1}\n            AND ST_Intersects({0}, {1})", layer->geom_col,
                                         detail::MVT_ENVELOPE);
  return detail::mvt_statement({.layer_name = layer_name,
                                .layer = *layer,
                                .geometry = geometry,
                                .buffer = 32,
                                .filter = filter,
                                .limit = ":max_features",
                                .semicolon = false});
}

}  // namespace mapsvc::tile_gateway
