#include "mapsvc/tile_gateway/tilejson.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace mapsvc::tile_gateway {
namespace {

using ojson = nlohmann::ordered_json;

constexpr double EARTH_RADIUS = 6378137.0;
constexpr double MAX_LATITUDE = 85.0511287798066;

double longitude_of(double x) { return std::clamp(x / EARTH_RADIUS * 180.0 / std::numbers::pi, -180.0, 180.0); }
double latitude_of(double y) {
  const double lat = (2.0 * std::atan(std::exp(y / EARTH_RADIUS)) - std::numbers::pi / 2.0) * 180.0 / std::numbers::pi;
  return std::clamp(lat, -MAX_LATITUDE, MAX_LATITUDE);
}

// Seven decimals: about a centimetre, and no float noise in the document.
double rounded(double degrees) { return std::round(degrees * 1e7) / 1e7; }

std::string unquoted(std::string_view identifier) {
  if (identifier.size() >= 2 && identifier.front() == '"' && identifier.back() == '"')
    return std::string(identifier.substr(1, identifier.size() - 2));
  return std::string(identifier);
}

}  // namespace

std::string_view field_type(char typcategory) noexcept {
  switch (typcategory) {
    case 'N': return "Number";
    case 'B': return "Boolean";
    default: return "String";
  }
}

ojson layer_fields(const layer_record& layer, const std::vector<std::pair<std::string, char>>& column_types) {
  const auto type_of = [&](const std::string& column) {
    for (const auto& [name, category] : column_types)
      if (name == column) return std::string(field_type(category));
    return std::string("String");
  };
  ojson fields = ojson::object();
  for (const auto& property : layer.properties) {
    const auto name = unquoted(property);
    fields[name] = type_of(name);
  }
  fields["feature_id"] = type_of(unquoted(layer.id_col));
  return fields;
}

ojson tilejson_document(std::string_view base_url, std::string_view source, const std::vector<tilejson_layer>& layers) {
  int min_zoom = MAX_SERVED_ZOOM;
  std::optional<mercator_extent> all;
  for (const auto& l : layers) {
    min_zoom = std::min(min_zoom, l.min_zoom);
    if (!l.extent) continue;
    if (!all) {
      all = l.extent;
    } else {
      all->minx = std::min(all->minx, l.extent->minx);
      all->miny = std::min(all->miny, l.extent->miny);
      all->maxx = std::max(all->maxx, l.extent->maxx);
      all->maxy = std::max(all->maxy, l.extent->maxy);
    }
  }
  if (layers.empty()) min_zoom = 0;

  ojson doc = ojson::object();
  doc["tilejson"] = "3.0.0";
  doc["name"] = source;
  doc["scheme"] = "xyz";
  doc["tiles"] = ojson::array({std::string(base_url) + "/gis/" + std::string(source) + "/{z}/{x}/{y}.pbf"});
  doc["minzoom"] = min_zoom;
  doc["maxzoom"] = MAX_SERVED_ZOOM;
  if (all) {
    const double west = rounded(longitude_of(all->minx)), south = rounded(latitude_of(all->miny));
    const double east = rounded(longitude_of(all->maxx)), north = rounded(latitude_of(all->maxy));
    doc["bounds"] = ojson::array({west, south, east, north});
    doc["center"] = ojson::array({rounded((west + east) / 2.0), rounded((south + north) / 2.0), min_zoom});
  }
  ojson vector_layers = ojson::array();
  for (const auto& l : layers) {
    ojson entry = ojson::object();
    entry["id"] = l.id;
    entry["fields"] = l.fields;
    entry["minzoom"] = l.min_zoom;
    entry["maxzoom"] = MAX_SERVED_ZOOM;
    vector_layers.push_back(std::move(entry));
  }
  doc["vector_layers"] = std::move(vector_layers);
  return doc;
}

}  // namespace mapsvc::tile_gateway
