#include "mapsvc/tile_gateway/centroid.hpp"

#include <fmt/format.h>

#include "mapsvc/tile_gateway/python_text.hpp"

namespace mapsvc::tile_gateway {

namespace {

using ojson = nlohmann::ordered_json;

constexpr std::string_view CENTROID_TEMPLATE =
    "\n"
    "        WITH layer_stats AS (\n"
    "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.\n"
    "            -- This is significantly more performant than ST_Extent on large tables.\n"
    "            SELECT ST_EstimatedExtent('{table_name_literal}', '{geom_column_literal}') as bbox\n"
    "        )\n"
    "        SELECT\n"
    "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)\n"
    "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
    "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
    "            \n"
    "            -- Extract the coordinates of the estimated bounding box\n"
    "            ST_XMin(bbox) as extent_minx,\n"
    "            ST_YMin(bbox) as extent_miny,\n"
    "            ST_XMax(bbox) as extent_maxx,\n"
    "            ST_YMax(bbox) as extent_maxy\n"
    "        FROM layer_stats\n"
    "        -- Ensure we don't proceed if the extent could not be calculated\n"
    "        WHERE bbox IS NOT NULL\n"
    "    ";

// ST_EstimatedExtent takes bare names as text, not quoted identifiers.
std::string_view strip_double_quotes(std::string_view identifier) {
  const auto first = identifier.find_first_not_of('"');
  if (first == std::string_view::npos) return {};
  const auto last = identifier.find_last_not_of('"');
  return identifier.substr(first, last - first + 1);
}

// A tile number as a path segment: digits for integers, as Python would print others.
std::string path_segment(const ojson& value) {
  if (value.is_string()) return value.get<std::string>();
  return python_repr(value);
}

}  // namespace

std::string centroid_sql(const layer_record& layer) {
  return fmt::format(fmt::runtime(CENTROID_TEMPLATE),
                     fmt::arg("table_name_literal", strip_double_quotes(layer.table)),
                     fmt::arg("geom_column_literal", strip_double_quotes(layer.geom_col)));
}

ojson centroid_response_data(std::string_view layer_name, const centroid_row& row, const ojson& tile,
                             const ojson& tile_bbox, const layer_record& layer) {
  ojson data = ojson::object();
  data["layer"] = layer_name;
  data["centroid_wgs84"] = {{"latitude", row.lat}, {"longitude", row.lon}};
  data["extent_web_mercator"] = {{"minx", row.extent_minx},
                                 {"miny", row.extent_miny},
                                 {"maxx", row.extent_maxx},
                                 {"maxy", row.extent_maxy}};
  data["suggested_tile"] = tile;
  data["suggested_tile_bbox"] = tile_bbox;
  data["tile_url"] = fmt::format("/gis/{}/{}/{}/{}.pbf", layer_name, path_segment(tile.at("z")),
                                 path_segment(tile.at("x")), path_segment(tile.at("y")));
  data["layer_config"] = {{"min_zoom", layer.min_zoom}, {"properties", layer.properties}};
  return data;
}

}  // namespace mapsvc::tile_gateway
