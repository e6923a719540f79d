#pragma once

#include "options.hpp"

namespace mapsvc::tiles {

// Runs `mapsvc-tiles seed`; the exit status (0 all done, 1 some tiles failed or the run could
// not start, 2 bad options, 130 interrupted with its record kept).
int run_seed(const seed_options& options);

// Runs `mapsvc-tiles export`; the exit status (0 package written, 1 tiles failed or the
// package could not be written, 2 bad options, 130 interrupted: no package).
int run_export(const seed_options& options);

}  // namespace mapsvc::tiles
