#include "mapsvc/tile_gateway/module.hpp"

#include <cstdio>

#include "host/helpers/logging.hpp"
#include "mapsvc/tile_gateway/banner.hpp"
#include "mapsvc/tile_gateway/cache_keys.hpp"

namespace mapsvc::tile_gateway {
namespace {

std::shared_ptr<spdlog::logger> module_logger() {
  host::helpers::configure_logging(spdlog::level::info);
  return host::helpers::get_logger("mapsvc.tile_gateway");
}

clients::redis::options client_options(const redis_settings& s) {
  clients::redis::options o;
  o.host = s.host;
  o.port = s.port;
  o.db = s.db;
  o.cluster_nodes = s.cluster_nodes;
  o.sentinels = s.sentinels;
  o.sentinel_master = s.sentinel_master;
  o.connect_timeout = std::chrono::seconds(5);
  o.socket_timeout = std::chrono::seconds(5);
  return o;
}

// The banner goes out after the client and the cache exist and before the catalogue is
// built, which is why it is printed from the catalogue member's initialiser.
const layer_catalogue& announce_then_catalogue(const redis_settings& settings) {
  std::fputs(banner_text(settings).c_str(), stdout);
  std::fflush(stdout);
  return LAYER_CONFIG();
}

}  // namespace

tile_gateway_module::tile_gateway_module(boost::asio::any_io_executor ex, module_options options)
    : executor(ex),
      logger(module_logger()),
      tileGateway("/gis", {"GIS Tiles"}),
      settings(options.redis),
      redis_client(ex, client_options(settings)),
      cache(redis_client, std::string(CACHE_NAMESPACE)),
      // Half a second between probes: the cache is back within about that long after Redis
      // recovers, and a stalled Redis costs one request its bound every second and a half.
      breaker(std::chrono::milliseconds(500)),
      memory(options.memory_cache_bytes == 0
                 ? nullptr
                 : std::make_unique<memory_tier>(ex, client_options(settings), std::string(CACHE_NAMESPACE),
                                                 options.memory_cache_bytes, logger)),
      layers(announce_then_catalogue(settings)),
      metrics(options.metrics),
      options_(std::move(options)) {
  register_routes();
}

std::size_t tile_gateway_module::layer_index(std::string_view layer_name) const {
  std::size_t i = 0;
  for (const auto& [key, record] : layers) {
    if (key == layer_name) return i;
    ++i;
  }
  return i;  // not a layer: not counted
}

}  // namespace mapsvc::tile_gateway
