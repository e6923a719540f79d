#pragma once
// What the commands of mapsvc-tiles share: building tiles on a pool with retries, packages'
// tiles, where the change feed stands, and running a coroutine to its end.
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "host/database/pool.hpp"
#include "host/database/session.hpp"
#include "mapsvc/tile_gateway/module.hpp"
#include "package.hpp"
#include "resume_state.hpp"
#include "walk.hpp"

namespace mapsvc::tiles {

// What one tile came to.
struct built {
  tile_outcome outcome;
  std::uint64_t bytes;
  // Whether nothing can lie below the tile: an empty tile ends its branch of a walk.
  bool ends_branch = false;
};
// Builds one tile on a session of the run's pool; throws to be tried again.
using tile_job = std::function<boost::asio::awaitable<built>(const walk_tile&, host::database::session&)>;

// The job on a fresh session, three tries with pauses between; none when every try failed
// (`why` says why the last did).
boost::asio::awaitable<std::optional<built>> try_thrice(host::database::pool& pool, const tile_job& job,
                                                        const walk_tile& t, std::string& why);

// One tile of a package: the layers served at its zoom put end to end (one vector tile holding
// all of them, as the composite route serves it); empty when none has a feature there.
struct composite_tile {
  std::string bytes;
  bool every_layer_served = true;  // false when a layer starts at a deeper zoom
};
boost::asio::awaitable<composite_tile> build_composite(tile_gateway::tile_gateway_module& m,
                                                       const std::vector<std::string>& layers, walk_tile t,
                                                       host::database::session& db);

// The composite tile gzip-compressed and added to `package` unless empty.
boost::asio::awaitable<built> export_one(tile_gateway::tile_gateway_module& m, const std::vector<std::string>& layers,
                                         walk_tile t, host::database::session& db, package_writer& package);

// The last position of the change feed whose change every tile built from now on reflects
// (each change is committed before it gets a position); none without the feed.
boost::asio::awaitable<std::optional<std::int64_t>> feed_position(host::database::pool& pool);

// The pool a command builds tiles on: `concurrency` sessions, with JIT off as the server has it
// (tile statements are short, and compiling them costs more than it saves).
host::database::pool_options tile_pool_options(const std::string& database_url, int concurrency);

// "2026-12-09T05:20:00Z".
std::string utc_now();

// Runs `work` on `io` until it ends; its result or its exception.
template <typename T>
T wait_for(boost::asio::io_context& io, boost::asio::awaitable<T> work) {
  auto f = boost::asio::co_spawn(io, std::move(work), boost::asio::use_future);
  io.restart();
  while (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready) io.run_one();
  return f.get();
}

}  // namespace mapsvc::tiles
