#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace mapsvc::tile_gateway {

// Zoom support of one layer for zooms 1 to 20: per zoom either "available": true with the
// tolerance, feature limit and simplification word, or "available": false; plus the fixed
// layer recommendations. None when `layer_name` is not a catalogue layer.
std::optional<nlohmann::ordered_json> zoom_info_data(std::string_view layer_name);

// Every catalogue layer in order with its settings and endpoint URLs, the layer count and
// the fixed zoom usage guide.
nlohmann::ordered_json layers_data();

// The health check body; the service itself is always reported healthy, the cache as
// probed by the caller.
nlohmann::ordered_json health_body(bool cache_healthy);

}  // namespace mapsvc::tile_gateway
