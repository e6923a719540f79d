#include "mapsvc/tile_gateway/banner.hpp"

#include <fmt/format.h>

namespace mapsvc::tile_gateway {

std::string banner_text(const redis_settings& settings) {
  return fmt::format(
      "✓ Binary Redis cache initialized (no UTF-8 decoding)\n"
      "  - Namespace: mvt_v8\n"
      "  - Redis: {}:{}/{}\n"
      "  - decode_responses: False (handles binary data)\n",
      settings.host, settings.port, settings.db);
}

}  // namespace mapsvc::tile_gateway
