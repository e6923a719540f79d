#include "mapsvc/tile_gateway/messages.hpp"

#include <fmt/format.h>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"

namespace mapsvc::tile_gateway {

std::string layer_not_found_detail(std::string_view layer_name) {
  return fmt::format("Layer '{}' not found", layer_name);
}

std::string invalid_tile_detail(std::string_view z, std::string_view x, std::string_view y) {
  return fmt::format("Invalid tile coordinates: z={}, x={}, y={}", z, x, y);
}

std::string no_valid_geometry_message(std::string_view layer_name) {
  return fmt::format("No valid geometry found for layer '{}'", layer_name);
}

std::vector<std::string> layers_available_at(std::int64_t z) {
  std::vector<std::string> names;
  for (const auto& [name, layer] : LAYER_CONFIG())
    if (layer.min_zoom <= z) names.push_back(name);
  return names;
}

std::optional<std::string> try_layers_message(std::int64_t z) {
  // Only overview zooms get a hint: there the coarser layers are the useful answer.
  if (z > 6) return std::nullopt;
  const auto names = layers_available_at(z);
  if (names.empty()) return std::nullopt;
  return fmt::format("Try these layers at zoom {}: {}", z, python_list_repr(names));
}

std::string invalidation_unknown_layer_detail(std::string_view layer_name) {
  return fmt::format("Layer '{}' not found. Valid layers: {}", layer_name, python_list_repr(LAYER_CONFIG().keys()));
}

std::string layer_invalidated_message(std::string_view layer_name, std::int64_t deleted_count) {
  return fmt::format("Cache for layer '{}' invalidated successfully. {} keys deleted.", layer_name, deleted_count);
}

std::string all_invalidated_message(std::int64_t deleted_count) {
  return fmt::format("All cache invalidated successfully. {} keys deleted.", deleted_count);
}

std::string layer_invalidation_log(std::string_view layer_name, std::int64_t deleted_count) {
  return fmt::format("Background task: Invalidated {} cache entries for layer '{}'", deleted_count, layer_name);
}

std::string all_invalidation_log(std::int64_t deleted_count) {
  return fmt::format("Background task: Invalidated ALL cache entries: {} keys deleted", deleted_count);
}

std::string pattern_invalidation_log(std::string_view pattern, std::int64_t deleted_count) {
  return fmt::format("Background task: Invalidated {} cache entries matching pattern '{}'", deleted_count, pattern);
}

std::string layer_invalidation_failed_log(std::string_view layer_name, std::string_view e) {
  return fmt::format("Background task failed to invalidate cache for layer '{}': {}", layer_name, e);
}

std::string all_invalidation_failed_log(std::string_view e) {
  return fmt::format("Background task failed to invalidate all cache: {}", e);
}

std::string pattern_invalidation_failed_log(std::string_view pattern, std::string_view e) {
  return fmt::format("Background task failed to invalidate cache by pattern '{}': {}", pattern, e);
}

std::string layer_invalidation_scheduled_log(std::string_view layer_name) {
  return fmt::format("Scheduled background cache invalidation for layer '{}'", layer_name);
}

std::string all_invalidation_scheduled_log() { return "Scheduled background cache invalidation for ALL layers"; }

std::string pattern_invalidation_scheduled_log(std::string_view pattern) {
  return fmt::format("Scheduled background cache invalidation for pattern '{}'", pattern);
}

}  // namespace mapsvc::tile_gateway
