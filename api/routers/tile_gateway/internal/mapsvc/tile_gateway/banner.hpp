#pragma once

#include <string>

#include "mapsvc/tile_gateway/redis_settings.hpp"

namespace mapsvc::tile_gateway {

// The four lines printed to standard output when the module loads, each ending in "\n".
std::string banner_text(const redis_settings& settings);

}  // namespace mapsvc::tile_gateway
