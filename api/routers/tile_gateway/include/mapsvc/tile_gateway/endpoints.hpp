#pragma once
// The route handlers of the tile service, with their parameters already converted by the host.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include <boost/asio/awaitable.hpp>

#include "host/database/session.hpp"
#include "host/http/params.hpp"
#include "host/http/response.hpp"
#include "mapsvc/tile_gateway/area_purge.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {

using host::http::integer;
using host::http::response;
using host::database::session;

// Serve vector tiles with proper zoom-out support.
boost::asio::awaitable<response> get_tile_xyz(tile_gateway_module& m, const std::string& layer_name,
                                              const integer& z, const integer& x, const integer& y, session& db);

// Builds a layer's tile from the database and caches it (unless an edit overtakes the build),
// ahead of its next viewer. True when a tile was built (stored or not), false when empty or
// not served at that zoom. Failures are logged as the tile route logs them and thrown.
boost::asio::awaitable<bool> refresh_tile(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                          std::int64_t x, std::int64_t y, session& db);

// What seed_tile did with one tile.
struct seeded_tile {
  // overtaken: built, but an edit invalidated the entry meanwhile, so the store was refused
  // (the next viewer builds it afresh).
  enum result { empty, stored, overtaken } outcome = empty;
  std::size_t bytes = 0;
};

// refresh_tile for filling the cache ahead of viewers: the same key, value and TTL, but every
// failure is thrown (database errors as the tile route's HTTP errors, Redis errors as they
// are) instead of being an empty or unstored tile. Empty also for a zoom the layer is not
// served at.
boost::asio::awaitable<seeded_tile> seed_tile(tile_gateway_module& m, const std::string& layer_name, std::int64_t z,
                                              std::int64_t x, std::int64_t y, session& db);

// A layer's tile as the tile route builds it, read from the database and never from the cache
// (for packages, which reflect the database as it stands); none when empty. Throws
// std::invalid_argument for a zoom the layer is not served at, and failures as the tile
// route's HTTP errors.
boost::asio::awaitable<std::optional<std::string>> build_layer_tile(tile_gateway_module& m,
                                                                    const std::string& layer_name, std::int64_t z,
                                                                    std::int64_t x, std::int64_t y, session& db);

// One tile holding several layers ("plots,beacons"), in the order named; each layer's own
// minimum zoom, limits, cache entry and time-out apply, and a layer with nothing to show is
// left out. get_tile_xyz hands a layer name with a comma here.
boost::asio::awaitable<response> get_composite_tile(tile_gateway_module& m, const std::string& layer_names,
                                                    const integer& z, const integer& x, const integer& y, session& db);

// TileJSON 3.0.0 of one layer or of a composite source ("plots,beacons"), with absolute tile
// URLs under `base_url` (scheme://host[:port][/prefix]).
boost::asio::awaitable<response> get_tilejson(tile_gateway_module& m, const std::string& layer_names,
                                              const std::string& base_url, session& db);

// Serve vector tiles for custom bounding box.
boost::asio::awaitable<response> get_tile_bbox(tile_gateway_module& m, const std::string& layer_name, double minx,
                                               double miny, double maxx, double maxy, const integer& srid,
                                               const integer& max_features, bool simplify, session& db);

// Get zoom level information for a layer.
boost::asio::awaitable<response> get_layer_zoom_info(tile_gateway_module& m, const std::string& layer_name);

// Get layer centroid and suggested tile coordinates.
boost::asio::awaitable<response> get_central_tile_info(tile_gateway_module& m, const std::string& layer_name,
                                                       session& db);

// A layer's centroid answer (`data` of get_central_tile_info): from the cache, else computed
// and stored. None when the layer has no usable extent; 408/500 HTTP errors as that route.
boost::asio::awaitable<std::optional<nlohmann::ordered_json>> layer_centroid(tile_gateway_module& m,
                                                                             const std::string& layer_name,
                                                                             const layer_record& layer, session& db);

// Get list of available layers and their configurations.
boost::asio::awaitable<response> get_available_layers(tile_gateway_module& m);

// Health check endpoint for monitoring.
boost::asio::awaitable<response> health_check(tile_gateway_module& m);

// Manually invalidate cache for a specific layer.
// Useful after bulk data updates or for testing.
boost::asio::awaitable<response> invalidate_cache_endpoint(tile_gateway_module& m, const std::string& layer_name);

// The same route with ?bbox=: only the layer's tiles meeting the box (all layers' for "all"),
// at the zooms asked. 503 when the cache could not be reached or failed part-way.
boost::asio::awaitable<response> invalidate_area_endpoint(tile_gateway_module& m, const std::string& layer_name,
                                                         const area_purge& purge);

}  // namespace mapsvc::tile_gateway
