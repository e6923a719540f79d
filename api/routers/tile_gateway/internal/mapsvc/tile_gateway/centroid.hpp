#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/constants.hpp"

namespace mapsvc::tile_gateway {

// A layer's centroid answer changes only with its data; keep it twice the long lifetime.
inline constexpr int CENTROID_CACHE_TTL = CACHE_TTL_LONG * 2;
inline constexpr std::chrono::milliseconds CENTROID_QUERY_TIMEOUT{15'000};

// One row of the centroid query, its nulls already ruled out by the caller.
struct centroid_row {
  double lat;
  double lon;
  double extent_minx;
  double extent_miny;
  double extent_maxx;
  double extent_maxy;
};

// The centroid query of a catalogue layer, from the planner's estimated extent. No bind
// parameters; yields lat, lon and extent_minx..extent_maxy, or no row when the table has
// no estimate.
std::string centroid_sql(const layer_record& layer);

// The answer's `data`: layer, centroid_wgs84, extent_web_mercator, suggested_tile,
// suggested_tile_bbox, tile_url, layer_config. `tile` ("z", "x", "y") and `tile_bbox`
// ("minx", "miny", "maxx", "maxy") are the host's tile math results and are copied as they
// are. Throws nlohmann::json::out_of_range when `tile` lacks "z", "x" or "y".
nlohmann::ordered_json centroid_response_data(std::string_view layer_name, const centroid_row& row,
                                              const nlohmann::ordered_json& tile,
                                              const nlohmann::ordered_json& tile_bbox, const layer_record& layer);

}  // namespace mapsvc::tile_gateway
