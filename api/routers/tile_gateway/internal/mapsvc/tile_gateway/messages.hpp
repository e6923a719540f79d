#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mapsvc::tile_gateway {

// Texts that clients and operators see, in one place so that their wording stays fixed.

// "Layer '{layer_name}' not found" (404 detail of the tile, box, zoom-info and centroid routes).
std::string layer_not_found_detail(std::string_view layer_name);

// "Invalid tile coordinates: z={z}, x={x}, y={y}" (400 detail of the tile route).
std::string invalid_tile_detail(std::string_view z, std::string_view x, std::string_view y);

// "No valid geometry found for layer '{layer_name}'" (centroid of a layer without extent).
std::string no_valid_geometry_message(std::string_view layer_name);

// Catalogue layers, in order, that are served at zoom `z`.
std::vector<std::string> layers_available_at(std::int64_t z);

// "Try these layers at zoom {z}: ['cadzones', ...]" for a low zoom (<= 6) at which some
// layers are served; none otherwise.
std::optional<std::string> try_layers_message(std::int64_t z);

// Cache invalidation: the route's 404 detail listing the valid layers, its two success
// messages, and the workers' and schedulers' log lines. {e} is the error's text.
std::string invalidation_unknown_layer_detail(std::string_view layer_name);
std::string layer_invalidated_message(std::string_view layer_name, std::int64_t deleted_count);
std::string all_invalidated_message(std::int64_t deleted_count);

std::string layer_invalidation_log(std::string_view layer_name, std::int64_t deleted_count);
std::string all_invalidation_log(std::int64_t deleted_count);
std::string pattern_invalidation_log(std::string_view pattern, std::int64_t deleted_count);
std::string layer_invalidation_failed_log(std::string_view layer_name, std::string_view e);
std::string all_invalidation_failed_log(std::string_view e);
std::string pattern_invalidation_failed_log(std::string_view pattern, std::string_view e);
std::string layer_invalidation_scheduled_log(std::string_view layer_name);
std::string all_invalidation_scheduled_log();
std::string pattern_invalidation_scheduled_log(std::string_view pattern);

}  // namespace mapsvc::tile_gateway
