#include "mapsvc/tile_gateway/tile_sql.hpp"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/constants.hpp"
#include "mapsvc/tile_gateway/errors.hpp"
#include "mvt_statement.hpp"

namespace mapsvc::tile_gateway {

namespace detail {

std::string mvt_statement(const mvt_statement_parts& p) {
  static constexpr std::string_view TEMPLATE =
      "\n"
      "    SELECT ST_AsMVT(mvt_data, '{layer_name}', 4096, 'mvt_geom') AS mvt\n"
      "    FROM (\n"
      "        SELECT {properties},\n"
      "            {id_col} AS feature_id,\n"
      "            ST_AsMVTGeom(\n"
      "                {geometry},\n"
      "                {envelope},\n"
      "                4096,\n"
      "                {buffer},\n"
      "                true\n"
      "            ) AS mvt_geom\n"
      "        FROM {table}\n"
      "        WHERE {filter}\n"
      "        ORDER BY ST_Area({geom_col}) DESC, {id_col}\n"  // the id breaks ties: same rows, same bytes
      "        LIMIT {limit}\n"
      "    ) AS mvt_data\n"
      "    WHERE mvt_data.mvt_geom IS NOT NULL{end}\n"
      "    ";
  return fmt::format(fmt::runtime(TEMPLATE), fmt::arg("layer_name", p.layer_name),
                     fmt::arg("properties", fmt::join(p.layer.properties, ", ")), fmt::arg("id_col", p.layer.id_col),
                     fmt::arg("geometry", p.geometry), fmt::arg("envelope", MVT_ENVELOPE),
                     fmt::arg("buffer", p.buffer), fmt::arg("table", p.layer.table), fmt::arg("filter", p.filter),
                     fmt::arg("geom_col", p.layer.geom_col), fmt::arg("limit", p.limit),
                     fmt::arg("end", p.semicolon ? ";" : ""));
}

}  // namespace detail

namespace {

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
  if (zoom <= 6) return fmt::format("{} && {}", layer.geom_col, detail::MVT_ENVELOPE);
  return fmt::format("\n        {0} && {1}\n        AND ST_Intersects({0}, {1})\n        ", layer.geom_col,
                     detail::MVT_ENVELOPE);
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

  std::string sql = detail::mvt_statement({.layer_name = layer_name,
                                           .layer = *layer,
                                           .geometry = geometry_expression(*layer, config->tolerance, tile_zoom),
                                           .buffer = config->buffer,
                                           .filter = spatial_filter(*layer, tile_zoom),
                                           .limit = std::to_string(feature_limit),
                                           .semicolon = true});
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
