#pragma once

#include <chrono>

namespace mapsvc::tile_gateway {

// Zoom of the tile suggested to a client that asks where a layer lies.
inline constexpr int DEFAULT_CENTROID_ZOOM = 16;
// Largest WGS84 box, in square degrees, that a box tile may cover.
inline constexpr double MAX_BBOX_AREA_WGS84 = 1.0;
// Hard cap on the features of one tile, whatever the zoom band or the client asks.
inline constexpr int MAX_FEATURES_GLOBAL = 15000;
// Cache lifetimes in seconds: detailed tiles change more often than overviews.
inline constexpr int CACHE_TTL_SHORT = 1800;
inline constexpr int CACHE_TTL_LONG = 7200;
// The most a cache read or store may take: XYZ tiles, then box tiles and centroids.
inline constexpr std::chrono::milliseconds TILE_CACHE_BOUND{1000};
inline constexpr std::chrono::milliseconds BOX_CACHE_BOUND{2000};

}  // namespace mapsvc::tile_gateway
