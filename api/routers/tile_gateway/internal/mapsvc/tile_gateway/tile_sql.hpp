#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "mapsvc/tile_gateway/zoom_policy.hpp"

namespace mapsvc::tile_gateway {

// The zoom whose settings a statement built without a zoom uses.
inline constexpr std::int64_t DEFAULT_SQL_ZOOM = 10;

// Writes the one statement that builds the vector tile of `layer_name` at `zoom`, and
// returns it with the zoom configuration it was written from. The statement takes the
// tile envelope in EPSG:3857 as the bind parameters :min_x, :min_y, :max_x, :max_y and
// yields one row with the bytea column `mvt`.
//
// Zoom 0 takes the settings of zoom 10 but keeps the low-zoom geometry and filter
// choices. Without a zoom the statement is that of zoom 10 throughout.
//
// Throws unknown_layer_error for a name outside the catalogue and zoom_unavailable_error
// when the layer is not served at the zoom (both are std::invalid_argument).
std::pair<std::string, zoom_config> generate_mvt_sql(std::string_view layer_name,
                                                     std::optional<std::int64_t> zoom);

// The statement and configuration generate_mvt_sql gives for a tile at `zoom`, written once
// per process; null where it would throw.
const std::pair<std::string, zoom_config>* served_statement(std::string_view layer_name, std::int64_t zoom);

}  // namespace mapsvc::tile_gateway
