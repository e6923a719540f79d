#pragma once
// A purge of the cached tiles inside a box: POST /gis/cache/invalidate/{layer}?bbox=...

#include <optional>
#include <string>
#include <string_view>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tile_gateway {

struct area_purge {
  mercator_box box;     // EPSG:3857
  int srid = 4326;      // as given
  int min_zoom = 1, max_zoom = 20;
  bool zooms_given = false;
};

// Reads `bbox` ("minx,miny,maxx,maxy", finite numbers), `srid` (4326, the default when empty,
// or 3857) and `zooms` ("a-b" or "z", 1 <= a <= b <= 20; empty: every zoom). A WGS84 box is
// checked like the box tiles' (longitudes, latitudes) and projected to Web Mercator.
// Throws http_error 400 naming what is wrong.
area_purge parse_area_purge(std::string_view bbox, std::string_view srid, std::string_view zooms);

// What to delete for `layer` ("all": every layer): its XYZ tiles meeting the box at the zooms
// asked, and, when no zooms were asked, its box tiles meeting the box. Nothing else (no
// centroid: the layer's extent is what it was).
invalidation_plan area_purge_plan(const layer_catalogue& catalogue, std::string_view layer, const area_purge& purge);

}  // namespace mapsvc::tile_gateway
