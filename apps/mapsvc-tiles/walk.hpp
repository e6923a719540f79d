#pragma once
// The order in which a seed visits tiles: per layer, each tile of its first zoom followed by its
// descendants, depth first, a branch ending below an empty tile. Only the tiles waiting (a few
// per level for each tile in flight) are held, never a list of the whole area.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mapsvc/tile_gateway/change_plan.hpp"

namespace mapsvc::tiles {

struct walk_tile {
  std::uint32_t layer;  // index into the walk's layers
  int z;
  std::int64_t x, y;
  friend bool operator==(const walk_tile&, const walk_tile&) = default;
};

struct walk_layer {
  std::string name;
  int first_zoom;                 // the layer's first served zoom
  tile_gateway::mercator_box area;  // none of its tiles outside this box
};

// Where the walk stands among the tiles of the first zooms: layer `layer`, its `top`-th tile
// (row by row) is the next to take.
struct walk_cursor {
  std::uint32_t layer = 0;
  std::uint64_t top = 0;
  friend bool operator==(const walk_cursor&, const walk_cursor&) = default;
};

class seed_walk {
 public:
  // Layers whose first served zoom lies above `max_zoom`, or whose area has no tile, have none.
  seed_walk(std::vector<walk_layer> layers, int min_zoom, int max_zoom);

  // Every tile of the walk, as if no tile were empty.
  std::uint64_t total() const { return total_; }
  // Tiles of the walk of layer `layer` (0 when it has none), as total() counts them.
  std::uint64_t total_of(std::uint32_t layer) const;
  const std::vector<walk_layer>& layers() const { return layers_; }

  struct taken {
    walk_tile tile;
    // Set when the tile came from the first zoom's row (a journal records it), with its index.
    std::optional<std::uint64_t> top;
  };
  // The next tile to build, now in flight; none while nothing is ready (tiles in flight may
  // still add their children, see finished()).
  std::optional<taken> next();
  // Marks a tile taken by next() (or restored as pending) done. Its children within the area
  // become ready unless `empty`; an empty tile's descendants count as done. False when the
  // tile was not pending.
  bool complete(const walk_tile& tile, bool empty);
  // Replays a take of the first zoom's tile `top` of `layer` recorded by a journal.
  void took_top(std::uint32_t layer, std::uint64_t top);

  bool finished() const { return ready_.empty() && in_flight_.empty() && exhausted(); }
  std::size_t in_flight() const { return in_flight_.size(); }
  // Tiles done, counting those skipped below empty tiles.
  std::uint64_t done() const { return done_; }
  std::uint64_t skipped() const { return skipped_; }

  // What a record must hold to continue: the cursor and every tile taken but not done.
  walk_cursor cursor() const { return cursor_; }
  std::vector<walk_tile> pending() const;
  // Continues from a record: its tiles pending (none in flight) and its counts.
  void restore(walk_cursor cursor, std::vector<walk_tile> pending, std::uint64_t done, std::uint64_t skipped);

  // Descendants of `tile` within its layer's area down to the last zoom.
  std::uint64_t descendants(const walk_tile& tile) const;
  // The tile at index `top` of layer `layer`'s first zoom.
  walk_tile top_tile(std::uint32_t layer, std::uint64_t top) const;

 private:
  const tile_gateway::tile_span& span(std::uint32_t layer, int z) const;
  bool exhausted() const;
  void skip_exhausted_layers();

  std::vector<walk_layer> layers_;
  int max_zoom_;
  std::vector<std::vector<tile_gateway::tile_span>> spans_;  // per layer, first_zoom..max_zoom
  std::uint64_t total_ = 0;
  walk_cursor cursor_;
  std::vector<walk_tile> ready_;  // a stack: the last pushed goes first (depth first)
  std::vector<walk_tile> in_flight_;
  std::uint64_t done_ = 0, skipped_ = 0;
};

}  // namespace mapsvc::tiles
