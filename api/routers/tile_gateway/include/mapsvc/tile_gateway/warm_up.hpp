#pragma once
// Readiness before the first request: a pool's connections opened, and behind each the
// database's server process made ready for tiles (the spatial extension loaded, the layer
// tables' catalogue entries read, the tile statements prepared). Left to the first requests,
// this made the first pass over an area after a start two to three times slower at its tail.

#include <cstddef>
#include <functional>

#include <boost/asio/any_io_executor.hpp>

#include "host/database/session.hpp"

namespace mapsvc::tile_gateway {

// Opens `connections` sessions at once on `executor`, and runs every layer's tile statement
// on each, on a tile with nothing in it. `done` is called once, with how many sessions got
// through; a failure (the database down) ends that session's warm-up and is otherwise left
// for the requests to meet.
void warm_up(boost::asio::any_io_executor executor, std::function<host::database::session()> open_session,
             std::size_t connections, std::function<void(std::size_t warmed)> done);

}  // namespace mapsvc::tile_gateway
