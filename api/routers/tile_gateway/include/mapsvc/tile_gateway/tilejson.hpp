#pragma once
// TileJSON 3.0.0 documents of the served layers, alone or combined into one source.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "mapsvc/tile_gateway/catalogue.hpp"

namespace mapsvc::tile_gateway {

// The highest zoom any layer is served at.
inline constexpr int MAX_SERVED_ZOOM = 20;

// A layer's extent in EPSG:3857 metres.
struct mercator_extent {
  double minx, miny, maxx, maxy;
};

struct tilejson_layer {
  std::string id;  // the layer name, which is also its name inside the tile
  int min_zoom = 0;
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();  // attribute -> "Number" | "String" | "Boolean"
  std::optional<mercator_extent> extent;
};

// The document for the source `source` (one layer name, or names joined by ","), its tiles
// under `base_url`. Bounds are the union of the known extents in WGS84 (left out when none is
// known, which means the whole world), the centre their middle at the lowest zoom served.
nlohmann::ordered_json tilejson_document(std::string_view base_url, std::string_view source,
                                         const std::vector<tilejson_layer>& layers);

// A PostgreSQL type category (pg_type.typcategory) as a TileJSON field type.
std::string_view field_type(char typcategory) noexcept;

// The attributes a layer's tiles carry, in tile order: the catalogue's properties (without
// their SQL quotes) and "feature_id", typed from `column_types` (unquoted column name ->
// typcategory); a column the database did not report is a "String".
nlohmann::ordered_json layer_fields(const layer_record& layer,
                                    const std::vector<std::pair<std::string, char>>& column_types);

}  // namespace mapsvc::tile_gateway
