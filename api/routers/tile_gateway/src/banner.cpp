#include "mapsvc/tile_gateway/banner.hpp"

#include <fmt/format.h>

namespace mapsvc::tile_gateway {

namespace {
std::string listed(const std::vector<clients::redis::address>& nodes) {
  std::string out;
  for (const auto& n : nodes) out += (out.empty() ? "" : ",") + n.text();
  return out;
}
}  // namespace

std::string banner_text(const redis_settings& settings) {
  if (!settings.cluster_nodes.empty() || !settings.sentinels.empty()) {
    const std::string where = !settings.cluster_nodes.empty()
                                  ? fmt::format("Redis Cluster via {}", listed(settings.cluster_nodes))
                                  : fmt::format("primary '{}' via sentinels {}/{}", settings.sentinel_master,
                                                listed(settings.sentinels), settings.db);
    return fmt::format(
        "✓ Binary Redis cache initialized (no UTF-8 decoding)\n"
        "  - Namespace: mvt_v8\n"
        "  - Redis: {}\n"
        "  - decode_responses: False (handles binary data)\n",
        where);
  }
  return fmt::format(
      "✓ Binary Redis cache initialized (no UTF-8 decoding)\n"
      "  - Namespace: mvt_v8\n"
      "  - Redis: {}:{}/{}\n"
      "  - decode_responses: False (handles binary data)\n",
      settings.host, settings.port, settings.db);
}

}  // namespace mapsvc::tile_gateway
