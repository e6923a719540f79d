#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mapsvc::tile_gateway {

// How one map layer maps onto the database. SQL identifiers are stored with their
// double quotes and go into SQL unchanged.
struct layer_record {
  std::string table;
  std::string id_col;
  std::string geom_col;
  std::vector<std::string> properties;  // attribute columns, in output order
  int min_zoom = 0;                     // lowest zoom at which the layer is served
};

// Ordered, read-only mapping from layer key to record. The order is visible to clients
// (layer lists, health body, error messages), so it is kept as built.
class layer_catalogue {
 public:
  using entry = std::pair<std::string, layer_record>;
  using const_iterator = std::vector<entry>::const_iterator;

  explicit layer_catalogue(std::vector<entry> entries);

  // Case-sensitive lookup; nullptr when `key` is not a layer.
  const layer_record* find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Layer keys in catalogue order.
  std::vector<std::string> keys() const;

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }

 private:
  std::vector<entry> entries_;
};

// Builds the catalogue of the served layers: plots, beacons, cadzones, districts, lgas.
layer_catalogue make_layer_config();

// The process's one catalogue, built on first use and never changed afterwards.
const layer_catalogue& LAYER_CONFIG();

}  // namespace mapsvc::tile_gateway
