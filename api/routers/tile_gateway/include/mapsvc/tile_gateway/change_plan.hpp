#pragma once
// Which cached entries an edit of the data touches: the change feed gives, per edited row,
// its table and the EPSG:3857 extent of its old and new geometry; the plan says what to delete.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/helpers/utils.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"

namespace mapsvc::tile_gateway {

// A closed box in EPSG:3857 metres.
struct mercator_box {
  double minx, miny, maxx, maxy;

  friend bool operator==(const mercator_box&, const mercator_box&) = default;
};

// The tiles x0..x1, y0..y1 (inclusive, XYZ rows from the top) of zoom z; empty when x1 < x0.
struct tile_span {
  int z;
  std::int64_t x0, x1, y0, y1;

  std::uint64_t count() const;
};

// The tiles of zoom z (0..MAX_TILE_ZOOM) whose closed envelope (bounds_of) meets the closed box.
// Corners may come in either order; coordinates beyond the world clamp to the edge tiles; a
// non-finite box or a zoom out of range gives an empty span. Edges match within a micrometre,
// because neighbouring envelopes from bounds_of may disagree on their shared edge by an ulp:
// a point on a tile edge meets the tiles on both sides.
tile_span tiles_meeting(const mercator_box& box, int z);

// One record of the change feed: the table's bare name ("PLOT", "CadZones") and the extent of
// the edit; no extent means the whole table changed.
struct feed_change {
  std::string table;
  std::optional<mercator_box> extent;
};

// A whole-table change of every table the catalogue reads: everything cached goes.
std::vector<feed_change> every_table_changed(const layer_catalogue& catalogue);

// The catalogue's layers read from `table` (bare name, compared exactly), in catalogue order.
std::vector<std::string> layers_fed_by(const layer_catalogue& catalogue, std::string_view table);

struct invalidation_plan {
  // Caller keys (no namespace) to delete: XYZ tiles and centroids; sorted, unique.
  std::vector<std::string> keys;
  // A zoom with too many tiles to list at once: the keys are either listed (lookup_keys) or
  // read from the set of the (layer, zoom)'s cached tiles, whichever is fewer, and the tiles
  // meeting any of the boxes (tile_meets) deleted.
  struct lookup {
    std::string layer;
    int z;
    std::vector<mercator_box> boxes;
    // How many tiles the boxes meet at most; none when too many to list at all.
    std::optional<std::uint64_t> tiles;
  };
  std::vector<lookup> lookups;
  // Layers changed as a whole: delete "{layer}:*" entirely.
  std::vector<std::string> whole_layers;
  // Per layer, the boxes to test its "bbox:{layer}:..." keys against (box_tile_meets).
  std::vector<std::pair<std::string, std::vector<mercator_box>>> box_tiles;
  // What changed, for clients: per layer, the edits merged where they overlap or touch, within
  // the world; a whole layer is the world. Zooms from the layer's first served one to 20.
  struct area {
    std::string layer;
    mercator_box box;
    int minzoom, maxzoom;
  };
  std::vector<area> areas;
};

// No more keys than this are listed for one (layer, zoom).
inline constexpr std::uint64_t MAX_TILES_LISTED_PER_ZOOM = 4096;

// The plan for a batch of changes. A (layer, zoom) whose tiles number more than
// `listed_at_once` becomes a lookup, whose tiles are counted up to `max_tiles_per_zoom`; no
// more keys than that are ever built for one. Every touched layer gets its centroid key and a
// box_tiles entry. A whole-table change, or an extent that is not finite, makes its layers
// whole_layers: their XYZ keys, lookups and box_tiles are dropped (the whole layer goes), their
// centroid key stays. Tables that feed no layer are ignored.
invalidation_plan plan_invalidation(const layer_catalogue& catalogue, std::span<const feed_change> changes,
                                    std::uint64_t max_tiles_per_zoom = MAX_TILES_LISTED_PER_ZOOM,
                                    std::uint64_t listed_at_once = 64);

// The caller keys of the tiles a lookup's boxes meet, when it counted them; none otherwise.
std::optional<std::vector<std::string>> lookup_keys(const invalidation_plan::lookup& lookup);

// "{layer}:{z}:{x}:{y}" as tile_cache_key writes it for a served tile (1 <= z <= 20,
// 0 <= x, y < 2^z, plain decimal); none for anything else.
std::optional<std::pair<std::string, host::helpers::tile_address>> parse_tile_key(std::string_view caller_key);

// Whether the tile's closed envelope meets any of the boxes; the same test as tiles_meeting.
bool tile_meets(const host::helpers::tile_address& tile, const std::vector<mercator_box>& boxes);

// The box of "bbox:{layer}:{minx}:{miny}:{maxx}:{maxy}:{max_features}:{True|False}" as
// bbox_cache_key writes it, corners put in order; none for another layer or a malformed key.
std::optional<mercator_box> parse_bbox_key(std::string_view caller_key, std::string_view layer);

// Whether a box tile whose key holds `key_box` may hold a feature within any of the boxes. The
// key's corners are rounded to whole metres, so the box queried may lie up to half a metre
// further out on each side: that much counts as meeting.
bool box_tile_meets(const mercator_box& key_box, const std::vector<mercator_box>& boxes);

struct wgs84_box {
  double west, south, east, north;
};

// Spherical Mercator inverse, clamped to the Web Mercator latitudes and to +-180 longitude.
wgs84_box to_wgs84(const mercator_box& box);

}  // namespace mapsvc::tile_gateway
