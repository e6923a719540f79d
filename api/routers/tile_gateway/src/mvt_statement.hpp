#pragma once
// The one text of every statement that builds a vector tile from a layer table: the tile
// endpoint's (per zoom) and the box endpoint's differ only in the parts below.

#include <string>
#include <string_view>

#include "mapsvc/tile_gateway/catalogue.hpp"

namespace mapsvc::tile_gateway::detail {

// The envelope every statement clips to, from the bind parameters :min_x .. :max_y (EPSG:3857).
inline constexpr std::string_view MVT_ENVELOPE = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

struct mvt_statement_parts {
  std::string_view layer_name;
  const layer_record& layer;
  std::string_view geometry;  // the geometry expression clipped (simplified or the bare column)
  int buffer;                 // ST_AsMVTGeom's buffer, in tile units
  std::string_view filter;    // the WHERE condition on the layer table
  std::string_view limit;     // a number, or a bind parameter
  bool semicolon;             // whether the statement ends with ";"
};

std::string mvt_statement(const mvt_statement_parts& parts);

}  // namespace mapsvc::tile_gateway::detail
