#include "mapsvc/tile_gateway/catalogue.hpp"

#include <algorithm>

namespace mapsvc::tile_gateway {

layer_catalogue::layer_catalogue(std::vector<entry> entries) : entries_(std::move(entries)) {}

const layer_record* layer_catalogue::find(std::string_view key) const noexcept {
  // Five entries: a linear scan beats hashing and keeps the order in one place.
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [key](const entry& e) { return e.first == key; });
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> layer_catalogue::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& [key, record] : entries_) out.push_back(key);
  return out;
}

layer_catalogue make_layer_config() {
  std::vector<layer_catalogue::entry> entries;
  entries.emplace_back("plots", layer_record{R"("PLOT")",
                                             R"("ID")",
                                             R"("GEOMETRY_3857")",
                                             {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")",
                                              R"("GENERAL_LU")", R"("CADZONE")", R"("DETAIL_LU")",
                                              R"("file_no")"},
                                             8});
  entries.emplace_back("beacons", layer_record{R"("BEACON")",
                                               R"("ID")",
                                               R"("GEOMETRY_3857")",
                                               {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"},
                                               12});
  entries.emplace_back("cadzones", layer_record{R"("CadZones")",
                                                R"("id")",
                                                R"("geometry_3857")",
                                                {R"("id")", R"("name")", R"("district_id")"},
                                                4});
  entries.emplace_back("districts", layer_record{R"("Districts")",
                                                 R"("id")",
                                                 R"("geometry_3857")",
                                                 {R"("id")", R"("name")", R"("lga_id")"},
                                                 3});
  entries.emplace_back("lgas", layer_record{R"("LGAs")", R"("id")", R"("geometry_3857")", {R"("id")", R"("name")"}, 2});
  return layer_catalogue(std::move(entries));
}

const layer_catalogue& LAYER_CONFIG() {
  static const layer_catalogue catalogue = make_layer_config();
  return catalogue;
}

}  // namespace mapsvc::tile_gateway
