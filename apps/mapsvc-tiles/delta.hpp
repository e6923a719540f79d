#pragma once
// Packages kept current from the change feed: a delta holds the tiles changed since a package
// was exported and lists those now empty; applying it gives the package a fresh export would.
#include "options.hpp"

namespace mapsvc::tiles {

// `export --since PACKAGE`: 0 written, 1 failed (a package older than the feed's history, a
// tile that failed, a file that cannot be written).
int run_delta(const seed_options& options);

// `apply PACKAGE DELTA -o FILE`: 0 written, 1 failed.
int run_apply(const apply_options& options);

}  // namespace mapsvc::tiles
