#pragma once
// The layers a composite source names ("plots,beacons"), checked against the catalogue.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "host/http/errors.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/messages.hpp"

namespace mapsvc::tile_gateway::detail {

// In the order named. 404 with the usual detail for the first unknown name (an empty one
// included), 400 for a name given twice: a tile's layers must have distinct names.
inline std::vector<std::string> named_layers(const layer_catalogue& layers, std::string_view names) {
  std::vector<std::string> out;
  for (;;) {
    const auto comma = names.find(',');
    std::string name(names.substr(0, comma));
    if (!layers.contains(name)) throw host::http::http_error(404, layer_not_found_detail(name));
    if (std::find(out.begin(), out.end(), name) != out.end())
      throw host::http::http_error(400, fmt::format("Layer '{}' is named more than once", name));
    out.push_back(std::move(name));
    if (comma == std::string_view::npos) break;
    names.remove_prefix(comma + 1);
  }
  return out;
}

}  // namespace mapsvc::tile_gateway::detail
