#pragma once
// A vector tile described as an edit of an older version of itself, feature by feature.
//
// An edit that adds a value to a layer's table shifts the index of every later value, and so
// the tags of most features: a byte diff of two tiles that differ in one plot's land use touches
// hundreds of places. Here the new tile is written as fields of the old one (features, keys,
// values) taken over in runs, with the features' tags renumbered against the new tables, and
// only what is really new spelt out. The script names no index of the new tables: they are
// rebuilt from its fields, in the order the new tile holds them.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mapsvc::tiles {

// The script that turns `was` into `now`; none when either is not a vector tile this reader
// follows, or when the script would not give back `now` byte for byte (checked here).
std::optional<std::string> mvt_script(std::string_view was, std::string_view now);

// The tile `script` makes of `was`. Throws std::runtime_error for a script that does not fit
// `was`, is damaged, or would make more than `max_bytes`.
std::string apply_mvt_script(std::string_view was, std::string_view script, std::size_t max_bytes);

}  // namespace mapsvc::tiles
