#pragma once
// A changed tile as a delta carries it: a script of the vector tile's changes (mvt_patch.hpp), or
// the new tile itself when no script reproduces it, compressed with the old tile (uncompressed)
// as the dictionary, so that a tile where one plot changed its land use costs about what
// changed, not the tile. Patches are zstd frames; a delta's whole tiles are gzip members, so
// the first bytes tell the two apart.
#include <cstddef>
#include <string>
#include <string_view>

namespace mapsvc::tiles {

// Whether `bytes` is a patch (a zstd frame) rather than a gzip member.
bool is_patch(std::string_view bytes);

// `now` as a patch against `was`.
std::string make_patch(std::string_view was, std::string_view now);

// The tile `patch` makes of `was`. Throws std::runtime_error when `patch` is damaged, was made
// against other bytes than `was` (its checksum fails), or would give more than `max_bytes` (a
// tile holds at most a few thousand features per layer: tens of megabytes at the very most).
std::string apply_patch(std::string_view was, std::string_view patch, std::size_t max_bytes = std::size_t{64} << 20);

}  // namespace mapsvc::tiles
