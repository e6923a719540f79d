#include "mapsvc/tile_gateway/change_feed.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <deque>
#include <random>
#include <set>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "clients/pg/connection.hpp"
#include "clients/pg/errors.hpp"
#include "host/cancellation.hpp"
#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "plan_apply.hpp"

namespace mapsvc::tile_gateway {
namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view LEASE_KEY = "mapsvc:feed:lease";
// The id of the cache this Redis holds, made by the first worker that looks; the feed keeps
// one position per cache in the database.
constexpr std::string_view CACHE_ID_KEY = "mapsvc:feed:cache";
constexpr auto CONNECT_TIMEOUT = 5s;
constexpr auto STATEMENT_TIMEOUT = 15s;
constexpr auto PRUNE_EVERY = 10min;

// KEYS: the lease. ARGV: holder, milliseconds. Extends the lease only for its holder.
constexpr std::string_view RENEW = R"(if redis.call('GET', KEYS[1]) == ARGV[1] then
  return redis.call('PEXPIRE', KEYS[1], ARGV[2]) end
return 0)";
constexpr std::string_view RELEASE = R"(if redis.call('GET', KEYS[1]) == ARGV[1] then
  return redis.call('DEL', KEYS[1]) end
return 0)";
// KEYS: the cache id. ARGV: a fresh id. Returns the id kept, making it when there is none.
constexpr std::string_view CACHE_ID = R"(redis.call('SET', KEYS[1], ARGV[1], 'NX')
return redis.call('GET', KEYS[1]))";

constexpr std::string_view FEED_INSTALLED_SQL =
    "SELECT to_regclass('mapsvc_feed.pending') IS NOT NULL AND to_regclass('mapsvc_feed.history') IS NOT NULL "
    "AND to_regclass('mapsvc_feed.cursor') IS NOT NULL AS installed";
// A new lease term on this cache: the next fence, and where the cache stands. A cache seen for
// the first time starts a while back (tiles stored before its cursor existed may predate the
// changes moved meanwhile); one left alone longer than the history is kept may have missed
// pruned changes.
constexpr std::string_view TAKE_CURSOR_SQL =
    "WITH head AS (SELECT CASE WHEN is_called THEN last_value ELSE 0 END AS p FROM mapsvc_feed.position_seq), "
    "start AS (SELECT coalesce((SELECT min(position) - 1 FROM mapsvc_feed.history "
    "WHERE processed_at > now() - CAST(:replay AS interval)), (SELECT p FROM head)) AS p) "
    "INSERT INTO mapsvc_feed.cursor AS c (cache, fence, position) SELECT :cache, 1, p FROM start "
    "ON CONFLICT (cache) DO UPDATE SET fence = c.fence + 1 "
    "RETURNING fence, position, updated_at < now() - CAST(:keep AS interval) AND position < (SELECT p FROM head) "
    "AND NOT EXISTS (SELECT 1 FROM mapsvc_feed.history h WHERE h.position = c.position + 1) AS missed";
constexpr std::string_view BATCH_SQL =
    "SELECT position, table_name, minx, miny, maxx, maxy, extract(epoch FROM recorded_at)::float8 AS recorded "
    "FROM mapsvc_feed.history WHERE position > :after ORDER BY position LIMIT :limit";
constexpr std::string_view WAL_POSITION_SQL = "SELECT pg_current_wal_insert_lsn()::text AS lsn";
// Unknown replay positions (a role that may not see them) count as not replayed.
constexpr std::string_view REPLAYED_SQL =
    "SELECT count(*) AS streaming, coalesce(bool_and(coalesce(replay_lsn >= CAST(:lsn AS pg_lsn), false)), true) "
    "AS replayed FROM pg_stat_replication";
// A replica seen streaming this recently that is no longer listed (the primary restarted, the
// network broke) is behind until it is back, not absent.
constexpr auto REPLICAS_REMEMBERED = std::chrono::minutes(10);
// Moves the cursor under the fence and announces the position to the followers in one step;
// `n` is what waits beyond it (pending and not yet applied).
constexpr std::string_view ADVANCE_SQL =
    "WITH advanced AS (UPDATE mapsvc_feed.cursor SET position = :position, updated_at = now() "
    "WHERE cache = :cache AND fence = :fence RETURNING position) "
    "SELECT pg_notify('mapsvc_tiles', position::text), (SELECT count(*) FROM mapsvc_feed.pending) + "
    "(SELECT count(*) FROM mapsvc_feed.history h WHERE h.position > advanced.position) AS n FROM advanced";
// Asks every worker not to store tiles of a batch until the cursor passes it (replicas only).
constexpr std::string_view HOLD_SQL = "SELECT pg_notify('mapsvc_tiles', :note)";
constexpr std::string_view HOLD_PREFIX = "hold ";
// Beyond the wait for replicas, how long a hold may outlive a consumer that stopped mid-batch.
constexpr auto HOLD_SLACK = 5s;
constexpr std::string_view PRUNE_SQL =
    "DELETE FROM mapsvc_feed.history WHERE processed_at < now() - CAST(:keep AS interval)";
// Where a follower stands: its cache's cursor, or (before the cache has one) the head.
constexpr std::string_view FOLLOWED_SQL =
    "SELECT coalesce((SELECT position FROM mapsvc_feed.cursor WHERE cache = :cache), "
    "(SELECT coalesce(max(position), 0) FROM mapsvc_feed.history))::int8 AS p";
constexpr std::string_view HISTORY_SQL =
    "SELECT position, table_name, minx, miny, maxx, maxy FROM mapsvc_feed.history "
    "WHERE position > :after AND position <= :upto ORDER BY position LIMIT 20000";
// How often replay positions are read while a batch waits for the replicas.
constexpr auto REPLICA_POLL = 20ms;
// Batches read ahead while earlier ones wait for the replicas.
constexpr std::size_t MAX_AWAITING_BATCHES = 64;
// A cache new to the feed replays this much history.
constexpr std::string_view NEW_CACHE_REPLAY = "10 minutes";

struct recorded_change {
  std::int64_t position;
  feed_change change;
  double recorded;  // seconds since the epoch, at the trigger
};

std::optional<mercator_box> extent_of(const clients::pg::row& r) {
  const auto minx = r.get_optional<double>("minx"), miny = r.get_optional<double>("miny"),
             maxx = r.get_optional<double>("maxx"), maxy = r.get_optional<double>("maxy");
  if (!minx || !miny || !maxx || !maxy) return std::nullopt;
  return mercator_box{*minx, *miny, *maxx, *maxy};
}

// The change a row of the history records.
feed_change change_of(const clients::pg::row& r) {
  return feed_change{r.get<std::string>("table_name"), extent_of(r)};
}

std::string make_holder_id() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::random_device rd;
  return fmt::format("{}:{}:{:08x}", host, ::getpid(), rd());
}

}  // namespace

struct change_feed::state : std::enable_shared_from_this<state> {
  state(tile_gateway_module& module, change_feed_options options)
      : m(module), o(std::move(options)), holder(make_holder_id()) {}

  tile_gateway_module& m;
  const change_feed_options o;
  const std::string holder;
  asio::thread_pool blocking{1};
  bool stopping = false;
  bool release_lease = true;
  std::size_t running = 0;
  bool installed_known = false;  // said once whether the feed is there

  // The lease, kept by its own loop; the consumer takes a fence for each term.
  bool holding = false;
  std::uint64_t term = 0;         // grows with every lease taken
  std::uint64_t fenced_term = 0;  // the term `fence` belongs to
  std::int64_t fence = 0;
  std::string cache_id;       // this worker's cache, once read from Redis
  std::int64_t position = 0;  // the last change applied to it, under `fence`

  std::unique_ptr<clients::pg::connection> consumer, follower;
  std::int64_t followed = -1;  // last position handed to the hub; -1: not yet known

  std::deque<std::pair<std::string, host::helpers::tile_address>> refresh_queue;
  std::set<std::string> refresh_queued;
  std::size_t refreshing = 0;
  std::chrono::steady_clock::time_point next_prune{};

  // Sleeps in short slices, so that a stop is seen within half a second.
  asio::awaitable<void> nap(std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    asio::steady_timer t(m.executor);
    while (!stopping && std::chrono::steady_clock::now() < until) {
      t.expires_at(std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(500)));
      co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
    }
  }

  // Connects `conn` when needed and LISTENs on `channel`. False when the feed is not installed.
  asio::awaitable<bool> ready(std::unique_ptr<clients::pg::connection>& conn, const char* channel) {
    if (conn && conn->usable()) co_return true;
    conn = std::make_unique<clients::pg::connection>(m.executor, blocking.get_executor());
    co_await conn->connect(o.conninfo, CONNECT_TIMEOUT);
    const auto r = co_await conn->execute(FEED_INSTALLED_SQL);
    const bool installed = r[0].get<bool>("installed");
    if (!installed_known && o.announce) {
      if (installed)
        m.logger->info("Change feed: on; edits committed to the layer tables reach the tile cache at once");
      else
        m.logger->info(
            "Change feed: not installed in the database; cached tiles follow edits only by expiry or purge "
            "(install it with mapsvc --install-change-feed)");
    }
    installed_known = true;
    m.set_feed_on(installed);
    if (!installed) {
      conn.reset();
      co_return false;
    }
    co_await conn->execute(fmt::format("LISTEN {}", channel));
    // A session of its own (it LISTENs: never behind a transaction pooler), running the same
    // few statements all the time.
    conn->prepare_statements(16);
    co_return true;
  }

  // `prelude` and `postlude` (e.g. BEGIN, COMMIT) travel in the statement's round trip.
  asio::awaitable<clients::pg::result> run(clients::pg::connection& c, std::string_view sql,
                                           const clients::pg::params& p = {}, std::string_view prelude = {},
                                           std::string_view postlude = {}) {
    clients::pg::execute_options options;
    options.timeout = STATEMENT_TIMEOUT;
    options.prelude = prelude;
    options.postlude = postlude;
    co_return co_await c.execute(sql, p, options);
  }

  // ---- the lease ----

  asio::awaitable<void> keep_lease() {
    const auto period = o.lease_for / 3;
    const std::string ms = std::to_string(o.lease_for.count());
    while (!stopping) {
      try {
        if (holding) {
          std::vector<std::string> args{"EVAL", std::string(RENEW), "1", std::string(LEASE_KEY), holder, ms};
          const auto r = co_await m.redis_client.command_on(LEASE_KEY, std::move(args), period);
          if (r.type != clients::redis::reply_type::integer || r.integer != 1) lose_lease("it expired");
        } else if (installed_known && consumer) {
          std::vector<std::string> args{"SET", std::string(LEASE_KEY), holder, "NX", "PX", ms};
          const auto r = co_await m.redis_client.command_on(LEASE_KEY, std::move(args), period);
          if (r.type == clients::redis::reply_type::status) {
            holding = true;
            ++term;
          }
        }
      } catch (const std::exception& e) {
        if (host::is_cancellation(e)) throw;
        // Redis away: a holder that cannot renew may have lost the lease already.
        if (holding) lose_lease(e.what());
      }
      report_state(-1);
      co_await nap(period);
    }
    if (holding && release_lease) {
      holding = false;
      try {
        std::vector<std::string> args{"EVAL", std::string(RELEASE), "1", std::string(LEASE_KEY), holder};
        co_await m.redis_client.command_on(LEASE_KEY, std::move(args), 1s);
      } catch (const std::exception&) {
        // It expires on its own.
      }
    }
  }

  void lose_lease(std::string_view why) {
    holding = false;
    m.logger->warn("Change feed: lease lost ({}); another worker applies the changes", why);
  }

  void report_state(std::int64_t backlog) {
    if (backlog >= 0) last_backlog = backlog;
    m.metrics.feed_backlog.at().set(holding ? last_backlog : 0);
    m.metrics.feed_holder.at().set(holding ? 1 : 0);
  }
  std::int64_t last_backlog = 0;

  // ---- the consumer ----

  // A batch whose first pass is done, waiting for the read replicas to replay it. Batches do
  // not wait behind each other: later ones are read and passed meanwhile, and the cursor moves
  // over each in order once the replicas have it.
  struct awaiting_batch {
    std::vector<recorded_change> changes;
    invalidation_plan plan;
    std::string lsn;  // the primary's WAL position once the batch was read
    detail::pass_result passed;
    std::chrono::steady_clock::time_point started;
  };
  std::deque<awaiting_batch> awaiting;
  // The last position read into a batch: `position` plus what awaits the replicas.
  std::int64_t read_through = 0;

  // Drops the batches not yet final: whoever holds the lease next applies them again from the
  // cursor.
  void forget_awaiting() {
    awaiting.clear();
    read_through = position;
  }

  asio::awaitable<void> consume() {
    bool failing = false;
    while (!stopping) {
      try {
        if (!co_await ready(consumer, "mapsvc_feed")) {
          co_await nap(10s);
          continue;
        }
        if (!holding) {
          forget_awaiting();
          // Notifications are only wake-ups: drop them while another worker consumes.
          co_await consumer->wait_notifications(o.lease_for / 3);
          continue;
        }
        if (fenced_term != term) co_await take_cursor();
        co_await move_pending();
        std::vector<recorded_change> batch;
        if (awaiting.size() < MAX_AWAITING_BATCHES) batch = co_await fetch_batch();
        const bool full = batch.size() >= o.batch_limit;
        if (!batch.empty()) co_await begin(std::move(batch));
        co_await finish_replayed();
        failing = false;
        // A batch that took less than the limit took all there was: what was recorded since
        // has notified meanwhile, and the wait below returns at once.
        if (full) continue;
        if (awaiting.empty()) {
          co_await prune_now_and_then();
          const auto woke = co_await consumer->wait_notifications(std::min(o.poll_every, o.lease_for / 3));
          if (!woke.empty()) co_await nap(o.batch_window);
        } else {
          const auto woke = co_await consumer->wait_notifications(REPLICA_POLL);
          if (!woke.empty()) co_await nap(o.batch_window);
        }
      } catch (const std::exception& e) {
        if (host::is_cancellation(e) && stopping) break;
        if (!failing) m.logger->warn("Change feed: applying changes failed, retrying: {}", e.what());
        failing = true;
        consumer.reset();
        forget_awaiting();
      }
      if (failing) co_await nap(1s);
    }
  }

  // The id of the cache in this worker's Redis, made when it has none yet.
  asio::awaitable<std::string> read_cache_id() {
    std::random_device rd;
    std::vector<std::string> args{"EVAL", std::string(CACHE_ID), "1", std::string(CACHE_ID_KEY),
                                  fmt::format("{:08x}{:08x}", rd(), rd())};
    const auto r = co_await m.redis_client.command_on(CACHE_ID_KEY, std::move(args), 2s);
    if (r.type != clients::redis::reply_type::string || r.str.empty())
      throw std::runtime_error("Redis gave no cache id");
    co_return r.str;
  }

  // A new lease term: this cache's fence and position.
  asio::awaitable<void> take_cursor() {
    cache_id = co_await read_cache_id();
    const clients::pg::params cursor_of{{"cache", cache_id},
                                        {"replay", std::string(NEW_CACHE_REPLAY)},
                                        {"keep", fmt::format("{} hours", o.retention.count())}};
    const auto r = co_await run(*consumer, TAKE_CURSOR_SQL, cursor_of);
    fence = r[0].get<std::int64_t>("fence");
    position = r[0].get<std::int64_t>("position");
    fenced_term = term;
    forget_awaiting();
    m.logger->info("Change feed: this worker applies the database's changes to cache {} from position {} (fence {})",
                   cache_id, position, fence);
    if (r[0].get<bool>("missed")) {
      // Left alone longer than the history is kept: what changed meanwhile is unknown.
      m.logger->warn("Change feed: cache {} missed changes pruned from the history; invalidating every layer",
                     cache_id);
      const auto everything = plan_invalidation(m.layers, every_table_changed(m.layers));
      co_await invalidate(everything);
    }
  }

  // Gives the pending changes their positions in the history, where every cache's holder reads.
  asio::awaitable<void> move_pending() {
    co_await run(*consumer, MOVE_LOCK_SQL, {}, "BEGIN");
    const clients::pg::params limit{{"limit", static_cast<std::int64_t>(o.batch_limit)}};
    co_await run(*consumer, MOVE_PENDING_SQL, limit, {}, "COMMIT");
  }

  asio::awaitable<std::vector<recorded_change>> fetch_batch() {
    const clients::pg::params window{{"after", read_through}, {"limit", static_cast<std::int64_t>(o.batch_limit)}};
    const auto r = co_await run(*consumer, BATCH_SQL, window);
    std::vector<recorded_change> batch;
    batch.reserve(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
      const auto row = r[i];
      batch.push_back({row.get<std::int64_t>("position"),
                       change_of(row), row.get<double>("recorded")});
    }
    co_return batch;
  }

  // The first pass over a batch. Without replicas it is final at once; with them the batch
  // waits (see `finish_replayed`) while every worker holds its tiles.
  asio::awaitable<void> begin(std::vector<recorded_change> batch) {
    awaiting_batch b;
    b.started = std::chrono::steady_clock::now();
    std::vector<feed_change> changes;
    changes.reserve(batch.size());
    for (const auto& c : batch) changes.push_back(c.change);
    b.plan = plan_invalidation(m.layers, changes);
    b.changes = std::move(batch);
    const std::int64_t after = read_through, upto = b.changes.back().position;
    read_through = upto;

    if (o.replicas) {
      // The edits of the batch are committed (their rows were read): replicas past this have them.
      b.lsn = (co_await run(*consumer, WAL_POSITION_SQL))[0].get<std::string>("lsn");
      const clients::pg::params note{{"note", fmt::format("{}{} {}", HOLD_PREFIX, after, upto)}};
      co_await run(*consumer, HOLD_SQL, note);
    }
    b.passed = co_await invalidate(b.plan);
    if (o.replicas) {
      awaiting.push_back(std::move(b));
      co_return;
    }
    if (!b.plan.whole_layers.empty()) queue_settle(b.plan);
    co_await finish(std::move(b), true);
  }

  // Tiles built on a replica that had not replayed a batch yet may have been stored before the
  // workers held them: once every replica has the batch, it is invalidated again and final.
  asio::awaitable<void> finish_replayed() {
    while (!awaiting.empty() && !stopping) {
      const std::string lsn = awaiting.front().lsn;
      const bool replayed = co_await replicas_have(lsn);
      if (!replayed && std::chrono::steady_clock::now() - awaiting.front().started < o.replica_wait_limit) co_return;
      if (awaiting.empty() || awaiting.front().lsn != lsn) co_return;  // forgotten meanwhile
      auto again = co_await invalidate(awaiting.front().plan);
      if (awaiting.empty() || awaiting.front().lsn != lsn) co_return;
      awaiting_batch b = std::move(awaiting.front());
      awaiting.pop_front();
      b.passed.deleted += again.deleted;
      b.passed.evicted.insert(b.passed.evicted.end(), again.evicted.begin(), again.evicted.end());
      if (!co_await finish(std::move(b), replayed)) co_return;
    }
  }

  asio::awaitable<bool> replicas_have(const std::string& lsn) {
    if (o.replicas_have) co_return o.replicas_have(lsn);
    const clients::pg::params replay_target{{"lsn", lsn}};
    const auto r = co_await run(*consumer, REPLAYED_SQL, replay_target);
    const auto now = std::chrono::steady_clock::now();
    if (r[0].get<std::int64_t>("streaming") > 0) {
      replicas_seen_at = now;
    } else if (replicas_seen_at && now - *replicas_seen_at < REPLICAS_REMEMBERED) {
      co_return false;
    }
    co_return r[0].get<bool>("replayed");
  }
  // When pg_stat_replication last listed a replica.
  std::optional<std::chrono::steady_clock::time_point> replicas_seen_at;

  // Moves the cursor over a batch whose passes are done. False when the lease was lost.
  asio::awaitable<bool> finish(awaiting_batch b, bool replayed) {
    const std::int64_t upto = b.changes.back().position;
    // Under the fence: a worker that lost the lease meanwhile moves nothing.
    const clients::pg::params advance{{"position", upto}, {"cache", cache_id}, {"fence", fence}};
    const auto advanced = co_await run(*consumer, ADVANCE_SQL, advance);
    if (advanced.size() != 1) {
      lose_lease("a newer holder took over");
      forget_awaiting();
      co_return false;
    }
    position = upto;

    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    m.metrics.feed_batches.at().add();
    m.metrics.feed_changes.at().add(b.changes.size());
    const auto lag = m.metrics.feed_lag.at();
    for (const auto& c : b.changes)
      lag.observe(std::chrono::nanoseconds(static_cast<std::int64_t>(std::max(0.0, now - c.recorded) * 1e9)));
    const auto backlog = advanced[0].get<std::int64_t>("n");
    report_state(backlog);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - b.started);
    m.logger->info("Change feed: applied {} changes up to position {}: {} cached entries invalidated ({} listed, {} "
                   "looked up, {} whole layers){} in {} ms; {} waiting",
                   b.changes.size(), position, b.passed.deleted, b.plan.keys.size(), b.plan.lookups.size(),
                   b.plan.whole_layers.size(), replayed ? "" : " (replicas still behind)", took.count(), backlog);
    queue_refresh(b.passed.evicted);
    co_return true;
  }

  asio::awaitable<detail::pass_result> invalidate(const invalidation_plan& plan) {
    co_return co_await detail::apply_plan(m, plan);
  }

  // ---- the second pass over what was walked ----
  // A build that began before an edit and stores after its walk is not seen by the walk, and
  // a generation guards only the entries a walk finds: the layers a batch walked whole are
  // walked again `settle` later. (Lookups and box tiles need no second pass: a build lists its
  // entry before its statement runs, so an entry missing from a set when the edit read it was
  // built from a statement that began after the edit committed.) Second passes that fall due within half a settle of each other
  // are done together, one walk for all (a steady stream of large edits would walk the keyspace
  // twice per batch otherwise).

  struct second_pass {
    std::chrono::steady_clock::time_point due;
    invalidation_plan plan;  // its whole layers only
  };
  std::deque<second_pass> second_passes;
  bool second_passes_running = false;
  // Second passes failed in a row: one warning when they start failing, one when they go through.
  std::size_t second_pass_failures = 0;

  void queue_settle(const invalidation_plan& plan) {
    second_pass next{std::chrono::steady_clock::now() + o.settle, {}};
    next.plan.whole_layers = plan.whole_layers;
    second_passes.push_back(std::move(next));
    if (second_passes_running) return;
    second_passes_running = true;
    asio::co_spawn(m.executor, run_second_passes(shared_from_this()), asio::detached);
  }

  static asio::awaitable<void> run_second_passes(std::shared_ptr<state> s) {
    ++s->running;
    while (!s->stopping && !s->second_passes.empty()) {
      const auto wake = s->second_passes.front().due + s->o.settle / 2;
      co_await s->nap(std::chrono::duration_cast<std::chrono::milliseconds>(
          std::max(std::chrono::steady_clock::duration::zero(), wake - std::chrono::steady_clock::now())));
      if (s->stopping) break;
      invalidation_plan due;
      const auto now = std::chrono::steady_clock::now();
      while (!s->second_passes.empty() && s->second_passes.front().due <= now) {
        for (auto& layer : s->second_passes.front().plan.whole_layers)
          if (std::find(due.whole_layers.begin(), due.whole_layers.end(), layer) == due.whole_layers.end())
            due.whole_layers.push_back(std::move(layer));
        s->second_passes.pop_front();
      }
      try {
        co_await s->invalidate(due);
        if (s->second_pass_failures > 0)
          s->m.logger->warn("Change feed: second pass went through after {} failed tries", s->second_pass_failures);
        s->second_pass_failures = 0;
      } catch (const std::exception& e) {
        if (host::is_cancellation(e)) break;
        // Redis away (a failover, a restart): the pass is owed all the same, a settle later.
        if (s->second_pass_failures++ == 0)
          s->m.logger->warn("Change feed: second pass failed, tried again every {} ms until it goes through: {}",
                            s->o.settle.count(), e.what());
        s->second_passes.push_back(second_pass{std::chrono::steady_clock::now() + s->o.settle, std::move(due)});
      }
    }
    s->second_passes_running = false;
    --s->running;
  }

  asio::awaitable<void> prune_now_and_then() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_prune) co_return;
    next_prune = now + PRUNE_EVERY;
    const clients::pg::params retention{{"keep", fmt::format("{} hours", o.retention.count())}};
    const auto r = co_await run(*consumer, PRUNE_SQL, retention);
    if (r.affected_rows() > 0) m.logger->info("Change feed: pruned {} applied changes from the history", r.affected_rows());
  }

  // ---- rebuilding the costly tiles ahead of their viewers ----

  void queue_refresh(const std::vector<std::string>& evicted) {
    // A stopping feed starts nothing: its refresher would end at once, and the loop below
    // would start the next one, for ever, without letting the event loop run anything else.
    if (!o.open_session || stopping) return;
    for (const auto& key : evicted) {
      const auto tile = parse_tile_key(key);
      if (!tile || tile->second.z > o.refresh_max_zoom) continue;
      if (refresh_queue.size() >= o.refresh_queue_limit) break;
      if (!refresh_queued.insert(key).second) continue;
      refresh_queue.emplace_back(tile->first, tile->second);
    }
    while (refreshing < o.refresh_concurrency && !refresh_queue.empty()) {
      ++refreshing;
      asio::co_spawn(m.executor, refresher(shared_from_this()), asio::detached);
    }
  }

  static asio::awaitable<void> refresher(std::shared_ptr<state> s) {
    ++s->running;
    while (!s->stopping && !s->refresh_queue.empty()) {
      auto [layer, t] = s->refresh_queue.front();
      s->refresh_queue.pop_front();
      s->refresh_queued.erase(tile_cache_key(layer, t.z, t.x, t.y));
      auto session = s->o.open_session();
      try {
        if (co_await refresh_tile(s->m, layer, t.z, t.x, t.y, session)) s->m.metrics.tiles_refreshed.at().add();
      } catch (const std::exception& e) {
        if (host::is_cancellation(e) && s->stopping) break;
        // Logged by the tile build; the next viewer builds it.
      }
      co_await session.close();
    }
    --s->refreshing;
    --s->running;
  }

  // ---- the follower: batches to the worker's open maps ----

  asio::awaitable<void> follow() {
    bool failing = false;
    while (!stopping) {
      try {
        if (!co_await ready(follower, "mapsvc_tiles")) {
          co_await nap(10s);
          continue;
        }
        std::int64_t upto = -1;
        if (followed < 0) {
          // From now on: what happened before this worker started is in no open map of its.
          followed = co_await followed_position();
          m.changes.start_at(followed);
        } else if (failing) {
          upto = co_await followed_position();
        }
        failing = false;
        // Every cache's holder announces on the one channel: a wake-up reads where this one is.
        if (upto < 0) {
          bool moved = false;
          for (const auto& n : co_await follower->wait_notifications(1s)) {
            if (n.payload.starts_with(HOLD_PREFIX))
              co_await take_hold(n.payload.substr(HOLD_PREFIX.size()));
            else
              moved = true;
          }
          if (moved) upto = co_await followed_position();
        }
        if (upto >= 0) m.holds.release_through(upto);
        if (upto > followed) co_await hand_over(upto);
      } catch (const std::exception& e) {
        if (host::is_cancellation(e) && stopping) break;
        if (!failing) m.logger->warn("Change feed: following applied changes failed, retrying: {}", e.what());
        failing = true;
        follower.reset();
      }
      if (failing) co_await nap(1s);
    }
  }

  // "AFTER UPTO": the batch of positions after AFTER up to UPTO is being applied; no tile it
  // touches is stored here until this worker's cache has passed it.
  asio::awaitable<void> take_hold(std::string_view range) {
    std::int64_t after = 0, upto = 0;
    const auto space = range.find(' ');
    if (space == std::string_view::npos) co_return;
    const auto first = std::from_chars(range.data(), range.data() + space, after);
    const auto second = std::from_chars(range.data() + space + 1, range.data() + range.size(), upto);
    if (first.ec != std::errc() || second.ec != std::errc() || upto <= after) co_return;
    const clients::pg::params window{{"after", after}, {"upto", upto}};
    const auto r = co_await run(*follower, HISTORY_SQL, window);
    std::vector<feed_change> changes;
    for (std::size_t i = 0; i < r.size(); ++i)
      changes.push_back(change_of(r[i]));
    if (changes.empty()) co_return;
    m.holds.hold(upto, plan_invalidation(m.layers, changes, 0).areas,
                 store_holds::clock::now() + o.replica_wait_limit + HOLD_SLACK);
  }

  // Where this worker's cache stands (its id read again: a flushed Redis gets a new one).
  asio::awaitable<std::int64_t> followed_position() {
    const std::string id = co_await read_cache_id();
    const clients::pg::params of_cache{{"cache", id}};
    co_return (co_await run(*follower, FOLLOWED_SQL, of_cache))[0].get<std::int64_t>("p");
  }

  asio::awaitable<void> hand_over(std::int64_t upto) {
    while (followed < upto) {
      const clients::pg::params window{{"after", followed}, {"upto", upto}};
      const auto r = co_await run(*follower, HISTORY_SQL, window);
      if (r.empty()) {
        followed = upto;
        break;
      }
      std::vector<feed_change> changes;
      std::int64_t last = followed;
      for (std::size_t i = 0; i < r.size(); ++i) {
        const auto row = r[i];
        changes.push_back(change_of(row));
        last = row.get<std::int64_t>("position");
      }
      followed = last;
      const auto plan = plan_invalidation(m.layers, changes, 0);
      change_batch batch{last, {}};
      for (const auto& a : plan.areas) {
        const auto box = to_wgs84(a.box);
        batch.areas.push_back(changed_area{a.layer, box.west, box.south, box.east, box.north, a.minzoom, a.maxzoom});
      }
      m.changes.publish(std::move(batch));
    }
  }
};

change_feed::change_feed(tile_gateway_module& module, change_feed_options options)
    : state_(std::make_shared<state>(module, std::move(options))) {}

change_feed::~change_feed() { stop(); }

namespace {

// Runs one of the feed's loops, counted while it runs.
template <typename Loop>
asio::awaitable<void> counted(std::shared_ptr<change_feed::state> s, Loop loop) {
  ++s->running;
  try {
    co_await loop(*s);
  } catch (const std::exception& e) {
    if (!host::is_cancellation(e)) s->m.logger->error("Change feed: a loop ended: {}", e.what());
  }
  --s->running;
}

}  // namespace

void change_feed::start() {
  if (state_->o.conninfo.empty()) return;
  auto s = state_;
  asio::co_spawn(s->m.executor, counted(s, [](state& st) { return st.keep_lease(); }), asio::detached);
  asio::co_spawn(s->m.executor, counted(s, [](state& st) { return st.consume(); }), asio::detached);
  asio::co_spawn(s->m.executor, counted(s, [](state& st) { return st.follow(); }), asio::detached);
}

void change_feed::stop(bool release_lease) {
  asio::post(state_->m.executor, [s = state_, release_lease] {
    s->stopping = true;
    s->release_lease = release_lease;
  });
}

std::size_t change_feed::running() const { return state_->running; }

}  // namespace mapsvc::tile_gateway
