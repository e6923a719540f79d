#pragma once
// Keeps the tile cache exact from the database's own record of its changes (the schema
// mapsvc_feed, installed by `mapsvc --install-change-feed`).
//
// Every worker runs two loops, each on a connection of its own to the primary database:
// - the consumer: one worker per cache (per Redis deployment) holds a lease in that Redis. It
//   gives the pending changes their positions in the feed's history (one mover at a time, so
//   that positions appear in order), then applies the history after its cache's cursor in
//   batches: invalidates exactly the cached entries they touch, waits for the read replicas to
//   replay them (passing the batches after it meanwhile) and invalidates once more, then moves
//   the cursor (fenced, so that a holder that lost its lease cannot move it after its
//   successor) and announces it (NOTIFY mapsvc_tiles).
//   Several caches on one database each apply every change. Entries of the lowest zooms are
//   rebuilt at once, a few at a time.
// - the follower: hears those announcements and hands what its cache's cursor passed to the
//   worker's change hub (the event stream of open maps).
// Without the feed in the database both loops wait quietly and look again now and then.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/database/session.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {

struct change_feed_options {
  // The primary database (DATABASE_URL): the feed's tables live there.
  std::string conninfo;
  // Set when reads go to replicas (DATABASE_READ_URL): a batch is final only once every
  // replica the primary streams to has replayed it.
  bool replicas = false;
  // Whether this worker says at start if the feed is on (one worker of an instance does).
  bool announce = true;
  // A fresh session of the tile routes' pool, for rebuilding tiles ahead of viewers.
  std::function<host::database::session()> open_session;

  // After a wake-up, wait this long for more changes to join the batch.
  std::chrono::milliseconds batch_window{20};
  // Look for changes this often even without a wake-up (a lost notification, a restart).
  std::chrono::milliseconds poll_every{1000};
  std::size_t batch_limit = 2000;
  // The lease: held this long without renewal; renewed three times as often.
  std::chrono::milliseconds lease_for{3000};
  // Entries found by walking (box tiles, extents too large to list) are invalidated again
  // this long after the first pass (up to half as long again, to share the walk with other
  // batches), for builds that were already past their ticket.
  std::chrono::milliseconds settle{1000};
  // How long replicas may lag before a batch is announced anyway.
  std::chrono::milliseconds replica_wait_limit{30'000};
  // Tiles at this zoom and below that a change evicted are rebuilt at once.
  int refresh_max_zoom = 12;
  std::size_t refresh_concurrency = 2;
  std::size_t refresh_queue_limit = 2000;
  // Whether every replica has replayed the primary's WAL up to a position; by default asked of
  // pg_stat_replication (tests stand in for replicas with this).
  std::function<bool(const std::string& lsn)> replicas_have = nullptr;
  // History older than this is pruned.
  std::chrono::hours retention{24 * 7};
};

class change_feed {
 public:
  change_feed(tile_gateway_module& module, change_feed_options options);
  ~change_feed();
  change_feed(const change_feed&) = delete;
  change_feed& operator=(const change_feed&) = delete;

  // Starts both loops on the module's executor.
  void start();
  // Asks the loops to end (from any thread); they do within about a second, releasing the
  // lease when held unless `release_lease` is false (as a killed process would leave it).
  // The module must outlive them: see `running`.
  void stop(bool release_lease = true);
  // Coroutines of the feed still running (read it on the module's executor).
  std::size_t running() const;

  struct state;

 private:
  std::shared_ptr<state> state_;
};

}  // namespace mapsvc::tile_gateway
