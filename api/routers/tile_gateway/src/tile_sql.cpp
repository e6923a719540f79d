#include "mapsvc/tile_gateway/tile_sql.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/errors.hpp"

namespace mapsvc::tile_gateway {

namespace {

constexpr std::string_view ENVELOPE = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

std::string join_properties(const layer_record& layer) {
  std::string out;
  for (const auto& column : layer.properties) {
    if (!out.empty()) out += ", ";
    out += column;
  }
  return out;
}

// Simplify before clipping; the cheaper ST_Simplify is good enough where shapes are
// a few pixels wide.
std::string geometry_expression(const layer_record& layer, int tolerance, std::int64_t zoom) {
  if (tolerance <= 0) return layer.geom_col;
  if (zoom <= 6) return fmt::format("ST_Simplify({}, {})", layer.geom_col, tolerance);
  return fmt::format("ST_SimplifyPreserveTopology({}, {})", layer.geom_col, tolerance);
}

// The && test can use the spatial index; at low zooms it alone is close enough, and a
// feature that only touches the box comes out null from ST_AsMVTGeom and is dropped.
std::string spatial_filter(const layer_record& layer, std::int64_t zoom) {
  if (zoom <= 6) return fmt::format("{} && {}", layer.geom_col, ENVELOPE);
  return fmt::format("\n        {0} && {1}\n        AND ST_Intersects({0}, {1})\n        ", layer.geom_col,
                     ENVELOPE);
}

}  // namespace

std::pair<std::string, zoom_config> generate_mvt_sql(std::string_view layer_name,
                                                     std::optional<std::int64_t> zoom) {
  const layer_record* layer = LAYER_CONFIG().find(layer_name);
  if (!layer) throw unknown_layer_error(layer_name);

  // Zoom 0 borrows the settings of zoom 10 while the geometry and filter choices below
  // still see 0; a missing zoom is zoom 10 everywhere, so the statement stays coherent.
  const std::int64_t tile_zoom = zoom.value_or(DEFAULT_SQL_ZOOM);
  const std::int64_t policy_zoom = tile_zoom == 0 ? DEFAULT_SQL_ZOOM : tile_zoom;
  const std::optional<zoom_config> config = get_zoom_config(policy_zoom, layer_name);
  if (!config) throw zoom_unavailable_error(layer_name, tile_zoom);

  const int feature_limit = std::min(config->feature_limit, MAX_FEATURES_GLOBAL);

  std::string sql;
  sql.reserve(1024);
  sql += "\n    SELECT ST_AsMVT(mvt_data, '";
  sql += layer_name;
  sql += "', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT ";
  sql += join_properties(*layer);
  sql += ",\n            ";
  sql += layer->id_col;
  sql += " AS feature_id,\n            ST_AsMVTGeom(\n                ";
  sql += geometry_expression(*layer, config->tolerance, tile_zoom);
  sql += ",\n                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n                4096,\n"
         "                ";
  sql += std::to_string(config->buffer);
  sql += ",\n                true\n            ) AS mvt_geom\n        FROM ";
  sql += layer->table;
  sql += "\n        WHERE ";
  sql += spatial_filter(*layer, tile_zoom);
  sql += "\n        ORDER BY ST_Area(";
  sql += layer->geom_col;
  // The id breaks ties, so that the same rows always make the same bytes.
  sql += ") DESC, ";
  sql += layer->id_col;
  sql += "\n        LIMIT ";
  sql += std::to_string(feature_limit);
  sql += "\n    ) AS mvt_data\n    WHERE mvt_data.mvt_geom IS NOT NULL;\n    ";
  return {std::move(sql), *config};
}

const std::pair<std::string, zoom_config>* served_statement(std::string_view layer_name, std::int64_t zoom) {
  // Written once per process: a statement depends on nothing but the catalogue and the zoom.
  constexpr std::int64_t zooms = 31;
  using row = std::vector<std::optional<std::pair<std::string, zoom_config>>>;
  static const auto table = [] {
    std::vector<std::pair<std::string, row>> out;
    for (const auto& [name, layer] : LAYER_CONFIG()) {
      row statements(zooms);
      for (std::int64_t z = 0; z < zooms; ++z) {
        try {
          statements[static_cast<std::size_t>(z)] = generate_mvt_sql(name, z);
        } catch (const std::invalid_argument&) {
        }
      }
      out.emplace_back(name, std::move(statements));
    }
    return out;
  }();
  if (zoom < 0 || zoom >= zooms) return nullptr;
  for (const auto& [name, statements] : table) {
    if (name != layer_name) continue;
    const auto& statement = statements[static_cast<std::size_t>(zoom)];
    return statement ? &*statement : nullptr;
  }
  return nullptr;
}

}  // namespace mapsvc::tile_gateway
