#include "mapsvc/tile_gateway/layer_info.hpp"

#include <string>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/zoom_policy.hpp"

namespace mapsvc::tile_gateway {

namespace {

using ojson = nlohmann::ordered_json;

constexpr int MIN_REPORTED_ZOOM = 1;
constexpr int MAX_REPORTED_ZOOM = 20;

ojson zoom_recommendations() {
  return {{"world_view", "Use 'lgas' or 'districts' for zoom 1-6"},
          {"regional_view", "Use 'cadzones' for zoom 4-10"},
          {"detailed_view", "Use 'plots' for zoom 8+"},
          {"precise_view", "Use 'beacons' for zoom 12+"}};
}

ojson usage_guide() {
  return {{"world_zoom_1_4", "Use 'lgas' layer"},
          {"country_zoom_5_7", "Use 'districts' or 'lgas' layer"},
          {"regional_zoom_6_10", "Use 'cadzones' layer"},
          {"local_zoom_8_14", "Use 'plots' layer"},
          {"detail_zoom_12_20", "Use 'beacons' layer"}};
}

}  // namespace

std::optional<ojson> zoom_info_data(std::string_view layer_name) {
  const layer_record* layer = LAYER_CONFIG().find(layer_name);
  if (!layer) return std::nullopt;

  ojson zoom_levels = ojson::object();
  for (int zoom = MIN_REPORTED_ZOOM; zoom <= MAX_REPORTED_ZOOM; ++zoom) {
    const auto config = get_zoom_config(zoom, layer_name);
    ojson level = ojson::object();
    level["available"] = config.has_value();
    if (config) {
      level["tolerance"] = config->tolerance;
      level["feature_limit"] = config->feature_limit;
      level["simplification"] = simplification_word(config->tolerance);
    }
    zoom_levels[std::to_string(zoom)] = std::move(level);
  }

  ojson data = ojson::object();
  data["layer"] = layer_name;
  data["min_zoom"] = layer->min_zoom;
  data["zoom_levels"] = std::move(zoom_levels);
  data["recommendations"] = zoom_recommendations();
  return data;
}

ojson layers_data() {
  ojson layers = ojson::object();
  for (const auto& [name, layer] : LAYER_CONFIG()) {
    ojson entry = ojson::object();
    entry["name"] = name;
    entry["min_zoom"] = layer.min_zoom;
    entry["properties"] = layer.properties;
    entry["table"] = layer.table;
    entry["endpoints"] = {{"xyz", "/gis/" + name + "/{z}/{x}/{y}.pbf"},
                          {"bbox", "/gis/" + name + "/bbox/"},
                          {"info", "/gis/" + name + "/"},
                          {"zoom_info", "/gis/" + name + "/zoom-info/"}};
    layers[name] = std::move(entry);
  }

  const std::size_t total = layers.size();
  ojson data = ojson::object();
  data["layers"] = std::move(layers);
  data["total_layers"] = total;
  data["usage_guide"] = usage_guide();
  return data;
}

ojson health_body(bool cache_healthy) {
  ojson body = ojson::object();
  body["status"] = "healthy";
  body["cache_status"] = cache_healthy ? "healthy" : "unhealthy";
  body["available_layers"] = LAYER_CONFIG().keys();
  body["zoom_support"] = "1-20 with layer-specific minimums";
  return body;
}

}  // namespace mapsvc::tile_gateway
