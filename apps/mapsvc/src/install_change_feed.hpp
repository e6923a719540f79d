#pragma once
// mapsvc --install-change-feed: a one-shot command, run before any worker starts.

#include <string>

namespace mapsvc {

// Installs the tile change feed in the database at `conninfo` (a libpq URI or key=value
// string): the schema, then a watch on each table of the layer catalogue that exists, all in
// one transaction. After the commit prints one line per step and a summary to stdout; on
// failure prints the database's message to stderr and nothing is changed. Running it again
// prints the same and changes nothing. Returns the exit status: 0, or 1 on failure.
int install_change_feed(const std::string& conninfo);

}  // namespace mapsvc
