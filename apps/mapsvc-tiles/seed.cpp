// mapsvc-tiles seed: the I/O around the walk (database, cache, record files, terminal).
#include "seed.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "clients/pg/errors.hpp"
#include "host/cancellation.hpp"
#include "host/database/get_db.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"
#include "host/http/representation.hpp"
#include "mapsvc/tile_gateway/endpoints.hpp"
#include "mapsvc/tile_gateway/tilejson.hpp"
#include "mapsvc/tile_gateway/zoom_policy.hpp"
#include "mapsvc/tile_gateway/redis_settings.hpp"
#include "progress.hpp"
#include "resume_state.hpp"
#include "package.hpp"
#include "delta.hpp"
#include "run_support.hpp"
#include "walk.hpp"

namespace mapsvc::tiles {
namespace asio = boost::asio;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr auto SNAPSHOT_EVERY = 2s;
constexpr auto LINE_EVERY = 5s;
constexpr auto BAR_EVERY = 250ms;
constexpr std::size_t FAILURES_LISTED = 20;
// A run whose first tiles all fail stops (the database or the cache is away or misconfigured).
constexpr std::uint64_t FAILING_START = 16;
constexpr std::string_view FEED_INSTALLED_SQL =
    "SELECT to_regclass('mapsvc_feed.pending') IS NOT NULL AS installed";

struct run_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Written aside and renamed over: a reader (or a later run after a kill) sees the old file or
// the new one, never a mix.
void write_atomically(const std::string& path, const std::string& text) {
  const std::string aside = path + ".tmp";
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw run_error(fmt::format("cannot write {}: {}", aside, std::strerror(errno)));
  std::size_t written = 0;
  while (written < text.size()) {
    const auto n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      throw run_error(fmt::format("cannot write {}: {}", aside, std::strerror(errno)));
    }
    written += static_cast<std::size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (::rename(aside.c_str(), path.c_str()) != 0)
    throw run_error(fmt::format("cannot replace {}: {}", path, std::strerror(errno)));
}

// The record of the run: snapshot plus journal (see resume_state.hpp).
class run_record {
 public:
  explicit run_record(std::string path) : path_(std::move(path)), journal_path_(path_ + ".journal") {}
  ~run_record() {
    if (journal_fd_ >= 0) ::close(journal_fd_);
  }

  void snapshot(seed_state state) {
    state.epoch = ++epoch_;
    write_atomically(path_, write_snapshot(state));
    write_atomically(journal_path_, journal_head(epoch_));
    if (journal_fd_ >= 0) ::close(journal_fd_);
    journal_fd_ = ::open(journal_path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (journal_fd_ < 0) throw run_error(fmt::format("cannot open {}: {}", journal_path_, std::strerror(errno)));
  }
  void set_epoch(std::uint64_t epoch) { epoch_ = epoch; }
  // One write per line: a kill leaves whole lines (or a cut last one, which replay ignores).
  void append(const std::string& line) {
    if (journal_fd_ < 0) return;
    if (::write(journal_fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      throw run_error(fmt::format("cannot append to {}: {}", journal_path_, std::strerror(errno)));
  }
  const std::string& path() const { return path_; }
  const std::string& journal_path() const { return journal_path_; }

 private:
  std::string path_, journal_path_;
  std::uint64_t epoch_ = 0;
  int journal_fd_ = -1;
};

// The extent (EPSG:3857) of the rows of `table` that `where` selects; none when there are none.
asio::awaitable<std::optional<tile_gateway::mercator_box>> extent_of(host::database::session& db,
                                                                      const tile_gateway::layer_record& layer,
                                                                      std::string where,
                                                                      const clients::pg::params& params) {
  const std::string sql = fmt::format(
      "SELECT ST_XMin(e) AS minx, ST_YMin(e) AS miny, ST_XMax(e) AS maxx, ST_YMax(e) AS maxy "
      "FROM (SELECT ST_Extent({}) AS e FROM {}{}) q",
      layer.geom_col, layer.table, where);
  const auto r = co_await db.execute(sql, params, 120s);
  const auto minx = r[0].get_optional<double>("minx"), miny = r[0].get_optional<double>("miny"),
             maxx = r[0].get_optional<double>("maxx"), maxy = r[0].get_optional<double>("maxy");
  if (!minx || !miny || !maxx || !maxy) co_return std::nullopt;
  co_return tile_gateway::mercator_box{*minx, *miny, *maxx, *maxy};
}

// Nothing meets a NaN box (tiles_meeting gives an empty span).
const tile_gateway::mercator_box NO_AREA{std::nan(""), std::nan(""), std::nan(""), std::nan("")};

// Per layer, the area to walk.
asio::awaitable<std::vector<tile_gateway::mercator_box>> resolve_areas(const seed_options& o,
                                                                        host::database::pool& pool) {
  const auto& catalogue = tile_gateway::LAYER_CONFIG();
  if (o.area == area_kind::bbox) co_return std::vector<tile_gateway::mercator_box>(o.layers.size(), to_mercator(*o.bbox));
  auto db = host::database::get_db(pool);
  std::vector<tile_gateway::mercator_box> out;
  if (o.area == area_kind::extent) {
    for (const auto& name : o.layers) {
      const clients::pg::params none;
      const auto box = co_await extent_of(db, *catalogue.find(name), "", none);
      out.push_back(box.value_or(NO_AREA));
    }
  } else {
    const auto* area_layer = catalogue.find(o.area == area_kind::district ? "districts" : "lgas");
    const clients::pg::params by_name{{"name", o.area_text}};
    const auto box = co_await extent_of(db, *area_layer, " WHERE \"name\" = :name", by_name);
    if (!box)
      throw usage_error(fmt::format("no {} named '{}' in {}", o.area == area_kind::district ? "district" : "LGA",
                                    o.area_text, area_layer->table));
    out.assign(o.layers.size(), *box);
  }
  co_await db.close();
  co_return out;
}

std::vector<walk_layer> walk_layers(const seed_options& o, const std::vector<tile_gateway::mercator_box>& areas) {
  const auto& catalogue = tile_gateway::LAYER_CONFIG();
  std::vector<walk_layer> layers;
  for (std::size_t i = 0; i < o.layers.size(); ++i)
    layers.push_back({o.layers[i], catalogue.find(o.layers[i])->min_zoom, areas.at(i)});
  return layers;
}

struct failure {
  std::string layer;
  walk_tile tile;
  std::string why;
};

// How a run names what it did in its summary.
struct run_words {
  const char* command;   // "seed"
  const char* complete;  // "seeded"
  const char* kept;      // "stored"
};

// What a record keeps of a walk now: enough to continue it.
seed_state state_of(const seed_options& o, const std::vector<tile_gateway::mercator_box>& areas, const seed_walk& walk,
                    const seed_counts& counts, bool complete) {
  seed_state s;
  s.signature = walk_signature(o);
  s.areas = areas;
  s.cursor = walk.cursor();
  s.pending = walk.pending();
  s.done = walk.done();
  s.skipped = walk.skipped();
  s.counts = counts;
  s.complete = complete;
  return s;
}

// Runs a walk: `concurrency` tiles at a time, each tried three times, with progress on the
// terminal and, when `record` is given, a record to continue from after an interruption.
class seeder {
 public:
  seeder(asio::io_context& io, const seed_options& o, host::database::pool& pool, seed_walk& walk, seed_counts counts,
         run_record* record, std::vector<tile_gateway::mercator_box> areas, tile_job job, run_words words)
      : io_(io), o_(o), pool_(pool), walk_(walk), counts_(counts), record_(record), areas_(std::move(areas)),
        job_(std::move(job)), words_(words), wake_(io, clock_type::time_point::max()),
        tty_(::isatty(STDERR_FILENO) == 1) {}

  asio::awaitable<void> worker() {
    while (!stopping_) {
      auto taken = walk_.next();
      if (!taken) {
        if (walk_.finished()) break;
        co_await wake_.async_wait(asio::as_tuple(asio::use_awaitable));
        continue;
      }
      if (taken->top && record_) record_->append(journal_took(taken->tile.layer, *taken->top));
      const auto done = co_await build(taken->tile);
      walk_.complete(taken->tile, done.ends_branch);
      count(counts_, done.outcome, done.bytes);
      if (record_) record_->append(journal_done(taken->tile, done.outcome, done.bytes));
      ++tiles_;
      if (o_.stop_after > 0 && tiles_ >= o_.stop_after) stop(true);
      // A database or cache that is not there fails every tile, each after three tries: say so
      // early instead of grinding through the walk.
      if (tiles_ == FAILING_START && counts_.failed == tiles_ && !stopping_) {
        gave_up_ = true;
        stop(false);
      }
      wake_.cancel();
    }
    if (--workers_ == 0) {
      finished_ = true;
      ticker_.cancel();
    }
    wake_.cancel();
  }

  asio::awaitable<void> ticker() {
    auto last_snapshot = clock_type::now(), last_line = clock_type::now();
    while (!finished_) {
      ticker_.expires_after(tty_ ? BAR_EVERY : 1s);
      co_await ticker_.async_wait(asio::as_tuple(asio::use_awaitable));
      const auto now = clock_type::now();
      rate_.sample(now, walk_.done());
      tile_rate_.sample(now, tiles_);
      if (finished_) break;
      if (now - last_snapshot >= SNAPSHOT_EVERY) {
        save(false);
        last_snapshot = now;
      }
      if (tty_) {
        show_bar();
      } else if (now - last_line >= LINE_EVERY) {
        std::fprintf(stderr, "%s\n", format_line(view()).c_str());
        last_line = now;
      }
    }
  }

  void stop(bool interrupted) {
    interrupted_ |= interrupted;
    stopping_ = true;
    wake_.cancel();
  }

  // Builds every tile (or until a stop), then writes the final record and summary; the exit
  // status. `signals` is the run's handler of interruptions, cancelled once the tiles ended.
  int run_to_end(asio::signal_set& signals) {
    const auto began = clock_type::now();
    start_workers();
    io_.restart();
    while (!ended() && io_.run_one() > 0) {
    }
    signals.cancel();
    const int status = finish(clock_type::now() - began);
    io_.poll();  // lets the progress loop see the end
    return status;
  }

  // The final record and summary; the exit status.
  int finish(clock_type::duration took) {
    const bool complete = walk_.finished() && !interrupted_ && !gave_up_;
    save(complete);
    if (tty_) std::fputs("\r\033[K", stderr);
    const auto& c = counts_;
    std::fprintf(stderr, "%s\n", format_line(view()).c_str());
    std::printf("%s: %llu tiles built in %s (%.0f tiles/s): %llu %s, %llu empty, %llu skipped below empty tiles, "
                "%s%llu failed; %s %s\n",
                complete ? words_.complete : "interrupted", static_cast<unsigned long long>(c.stored + c.empty + c.overtaken + c.failed),
                format_duration(std::chrono::duration<double>(took).count()).c_str(),
                tiles_ / std::max(1e-3, std::chrono::duration<double>(took).count()),
                static_cast<unsigned long long>(c.stored), words_.kept, static_cast<unsigned long long>(c.empty),
                static_cast<unsigned long long>(walk_.skipped()),
                // Only a cache has edits overtaking its stores.
                record_ ? fmt::format("{} overtaken by edits, ", c.overtaken).c_str() : "",
                static_cast<unsigned long long>(c.failed), format_bytes(c.bytes).c_str(), words_.kept);
    for (const auto& f : failures_)
      std::printf("failed: %s/%d/%lld/%lld: %s\n", f.layer.c_str(), f.tile.z, static_cast<long long>(f.tile.x),
                  static_cast<long long>(f.tile.y), f.why.c_str());
    if (c.failed > failures_.size())
      std::printf("failed: ... and %llu more\n", static_cast<unsigned long long>(c.failed - failures_.size()));
    if (gave_up_) {
      std::printf("stopped: the first %llu tiles all failed; check the database and the cache settings\n",
                  static_cast<unsigned long long>(FAILING_START));
      std::fflush(stdout);
      return 1;
    }
    if (!complete) {
      if (record_) std::printf("continue with: --resume %s\n", record_->path().c_str());
      std::fflush(stdout);
      return 130;
    }
    std::fflush(stdout);
    return c.failed > 0 ? 1 : 0;
  }

 private:
  void start_workers() {
    // The rates count from here: the first second (often a burst of empty tiles skipped at the
    // area's edge) is part of the pace too.
    const auto now = clock_type::now();
    rate_.sample(now, walk_.done());
    tile_rate_.sample(now, tiles_);
    workers_ = static_cast<std::size_t>(o_.concurrency);
    for (int i = 0; i < o_.concurrency; ++i) asio::co_spawn(io_, worker(), asio::detached);
    asio::co_spawn(io_, ticker(), asio::detached);
  }

  bool ended() const { return finished_; }

  asio::awaitable<built> build(const walk_tile& t) {
    std::string why;
    if (auto done = co_await try_thrice(pool_, job_, t, why)) co_return *done;
    if (failures_.size() < FAILURES_LISTED) failures_.push_back({walk_.layers()[t.layer].name, t, why});
    co_return built{tile_outcome::failed, 0};
  }

  progress_view view() {
    progress_view v;
    v.command = words_.command;
    v.done = walk_.done();
    v.total = walk_.total();
    v.tiles = tiles_;
    v.tiles_per_second = tile_rate_.per_second();
    v.eta_seconds = seconds_left(v.total - std::min(v.done, v.total), rate_.per_second());
    v.counts = counts_;
    return v;
  }

  void show_bar() {
    winsize ws{};
    const int width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col - 1 : 79;
    std::fprintf(stderr, "\r%s\033[K", format_bar(view(), width).c_str());
    std::fflush(stderr);
  }

  void save(bool complete) {
    if (!record_) return;
    record_->snapshot(state_of(o_, areas_, walk_, counts_, complete));
  }

  asio::io_context& io_;
  const seed_options& o_;
  host::database::pool& pool_;
  seed_walk& walk_;
  seed_counts counts_;
  run_record* record_;
  std::vector<tile_gateway::mercator_box> areas_;
  tile_job job_;
  run_words words_;
  asio::steady_timer wake_;
  asio::steady_timer ticker_{io_};
  rate_window rate_, tile_rate_;
  const bool tty_;
  std::size_t workers_ = 0;
  bool finished_ = false, stopping_ = false, interrupted_ = false, gave_up_ = false;
  std::uint64_t tiles_ = 0;
  std::vector<failure> failures_;
};

// One tile into the shared cache, as the server would store it.
asio::awaitable<built> seed_one(tile_gateway::tile_gateway_module& m, std::string layer, walk_tile t,
                                host::database::session& db) {
  const auto r = co_await tile_gateway::seed_tile(m, layer, t.z, t.x, t.y, db);
  switch (r.outcome) {
    case tile_gateway::seeded_tile::stored: co_return built{tile_outcome::stored, r.bytes};
    case tile_gateway::seeded_tile::overtaken: co_return built{tile_outcome::overtaken, r.bytes};
    case tile_gateway::seeded_tile::empty: break;
  }
  co_return built{tile_outcome::empty, 0, true};
}

asio::awaitable<bool> feed_installed(host::database::pool& pool) {
  auto db = host::database::get_db(pool);
  const auto r = co_await db.execute(FEED_INSTALLED_SQL);
  const bool installed = r[0].get<bool>("installed");
  co_await db.close();
  co_return installed;
}

void print_dry_run(const seed_walk& walk) {
  for (std::uint32_t i = 0; i < walk.layers().size(); ++i)
    std::printf("%s: %llu tiles\n", walk.layers()[i].name.c_str(), static_cast<unsigned long long>(walk.total_of(i)));
  std::printf("total: %llu tiles (every branch; a run skips those below empty tiles)\n",
              static_cast<unsigned long long>(walk.total()));
}

// ---- packages ----

// The layers' vector_layers as the TileJSON route describes them, within the package's zooms.
asio::awaitable<nlohmann::ordered_json> vector_layers_of(tile_gateway::tile_gateway_module& m, std::string source,
                                                         zoom_range zooms, host::database::pool& pool) {
  auto db = host::database::get_db(pool);
  const auto answer = co_await tile_gateway::get_tilejson(m, source, "", db);
  co_await db.close();
  auto layers = nlohmann::ordered_json::parse(answer.payload()).at("vector_layers");
  for (auto& layer : layers) {
    layer["minzoom"] = std::max(layer["minzoom"].get<int>(), zooms.min);
    layer["maxzoom"] = zooms.max;
  }
  co_return layers;
}

std::string area_of(const seed_options& o) {
  switch (o.area) {
    case area_kind::bbox: return "bbox:" + o.area_text;
    case area_kind::district: return "district:" + o.area_text;
    case area_kind::lga: return "lga:" + o.area_text;
    case area_kind::extent: break;
  }
  return "extent";
}

// Every layer of a package in one walk: it starts at the first zoom any of them is served at
// and covers the areas of all.
walk_layer package_walk_layer(const seed_options& o, const std::vector<tile_gateway::mercator_box>& areas) {
  const auto& catalogue = tile_gateway::LAYER_CONFIG();
  walk_layer all{fmt::format("{}", fmt::join(o.layers, ",")), tile_gateway::MAX_SERVED_ZOOM, NO_AREA};
  for (std::size_t i = 0; i < o.layers.size(); ++i) {
    all.first_zoom = std::min(all.first_zoom, catalogue.find(o.layers[i])->min_zoom);
    const auto& a = areas.at(i);
    if (std::isnan(a.minx)) continue;
    if (std::isnan(all.area.minx)) {
      all.area = a;
    } else {
      all.area = {std::min(all.area.minx, a.minx), std::min(all.area.miny, a.miny), std::max(all.area.maxx, a.maxx),
                  std::max(all.area.maxy, a.maxy)};
    }
  }
  return all;
}

}  // namespace

asio::awaitable<std::optional<built>> try_thrice(host::database::pool& pool, const tile_job& job, const walk_tile& t,
                                                 std::string& why) {
  constexpr std::chrono::milliseconds BACKOFF[] = {250ms, 1000ms};
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) {
      asio::steady_timer pause(co_await asio::this_coro::executor, BACKOFF[attempt - 1]);
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    auto db = host::database::get_db(pool);
    std::optional<built> done;
    try {
      done = co_await job(t, db);
    } catch (const std::exception& e) {
      why = e.what();
    }
    co_await db.close();
    if (done) co_return done;
  }
  co_return std::nullopt;
}

asio::awaitable<composite_tile> build_composite(tile_gateway::tile_gateway_module& m,
                                                const std::vector<std::string>& layers, walk_tile t,
                                                host::database::session& db) {
  composite_tile out;
  for (const auto& name : layers) {
    if (!tile_gateway::get_zoom_config(t.z, name)) {
      out.every_layer_served = false;
      continue;
    }
    if (auto part = co_await tile_gateway::build_layer_tile(m, name, t.z, t.x, t.y, db)) out.bytes += *part;
  }
  co_return out;
}

asio::awaitable<built> export_one(tile_gateway::tile_gateway_module& m, const std::vector<std::string>& layers,
                                  walk_tile t, host::database::session& db, package_writer& package) {
  const auto tile = co_await build_composite(m, layers, t, db);
  // Below an empty tile nothing can be, unless a layer starts at a deeper zoom.
  if (tile.bytes.empty()) co_return built{tile_outcome::empty, 0, tile.every_layer_served};
  const auto gzipped = host::http::gzip_compress(tile.bytes);
  package.add(t.z, static_cast<std::uint32_t>(t.x), static_cast<std::uint32_t>(t.y), gzipped);
  co_return built{tile_outcome::stored, gzipped.size()};
}

// The last position of the change feed whose change every tile built from now on reflects
// (each change is committed before it gets a position); none without the feed.
asio::awaitable<std::optional<std::int64_t>> feed_position(host::database::pool& pool) {
  constexpr std::int64_t MOVE_AT_ONCE = 50'000;
  auto db = host::database::get_db(pool);
  bool moved_all = true;
  std::optional<std::int64_t> position;
  if ((co_await db.execute("SELECT to_regclass('mapsvc_feed.position_seq') IS NOT NULL AS installed"))[0].get<bool>(
          "installed")) {
    // Changes committed so far but not yet given a position get theirs now (as the feed's
    // consumer would), so that the position returned covers every one of them. A role that
    // may only read leaves them to the consumer: a delta then takes them again, which costs
    // a few tiles and loses nothing.
    try {
      for (bool more = true; more;) {
        co_await db.execute("BEGIN");
        co_await db.execute(tile_gateway::MOVE_LOCK_SQL);
        const clients::pg::params limit{{"limit", MOVE_AT_ONCE}};
        more = (co_await db.execute(tile_gateway::MOVE_PENDING_SQL, limit, std::chrono::seconds(120))).affected_rows() ==
               static_cast<std::uint64_t>(MOVE_AT_ONCE);
        co_await db.execute("COMMIT");
      }
    } catch (const clients::pg::error&) {
      moved_all = false;
    }
    if (!moved_all) co_await db.execute("ROLLBACK");
    const auto r = co_await db.execute(
        "SELECT CASE WHEN is_called THEN last_value ELSE 0 END AS p FROM mapsvc_feed.position_seq");
    position = r[0].get<std::int64_t>("p");
  }
  co_await db.close();
  co_return position;
}

std::string utc_now() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

host::database::pool_options tile_pool_options(const std::string& database_url, int concurrency) {
  ::setenv("PGOPTIONS", "-c jit=off", 0);
  host::database::pool_options options;
  options.conninfo = database_url;
  options.size = static_cast<std::size_t>(concurrency);
  return options;
}

int run_seed(const seed_options& o) {
  try {
    asio::io_context io;
    host::database::pool pool(io.get_executor(), tile_pool_options(o.database_url, o.concurrency));

    std::optional<seed_state> resumed;
    if (o.resume && std::filesystem::exists(o.state_path)) {
      try {
        resumed = read_snapshot(read_file(o.state_path));
      } catch (const state_error& e) {
        throw usage_error(fmt::format("{}: {}", o.state_path, e.what()));
      }
      if (resumed->signature != walk_signature(o))
        throw usage_error(fmt::format("{} records another run ({}); this one is {}", o.state_path, resumed->signature,
                                      walk_signature(o)));
      if (resumed->areas.size() != o.layers.size()) throw usage_error(o.state_path + ": areas do not match the layers");
    }
    const auto areas = resumed ? resumed->areas : wait_for(io, resolve_areas(o, pool));
    seed_walk walk(walk_layers(o, areas), o.zooms.min, o.zooms.max);
    if (o.dry_run) {
      print_dry_run(walk);
      return 0;
    }

    run_record record(o.state_path);
    seed_counts counts;
    if (resumed) {
      walk.restore(resumed->cursor, resumed->pending, resumed->done, resumed->skipped);
      counts = resumed->counts;
      const auto replayed = replay_journal(read_file(record.journal_path()), resumed->epoch, walk, counts);
      record.set_epoch(resumed->epoch);
      std::fprintf(stderr, "resuming %s: %llu of %llu done (%zu journal entries), %zu tiles pending\n",
                   o.state_path.c_str(), static_cast<unsigned long long>(walk.done()),
                   static_cast<unsigned long long>(walk.total()), replayed, walk.pending().size());
    }

    tile_gateway::module_options module_options;
    module_options.redis = tile_gateway::read_redis_settings(host::process_env);
    module_options.cache_ttl_with_feed = o.cache_ttl_with_feed;
    tile_gateway::tile_gateway_module m(io.get_executor(), module_options);
    // Failures are retried, counted and listed in the summary; per-tile lines would bury it.
    m.logger->set_level(spdlog::level::off);
    if (o.cache_ttl_with_feed) {
      const bool on = wait_for(io, feed_installed(pool));
      m.set_feed_on(on);
      std::fprintf(stderr, on ? "change feed installed: tiles stored for %d s\n"
                              : "change feed not installed: tiles stored for their zoom's time (not %d s)\n",
                   *o.cache_ttl_with_feed);
    }

    const tile_job store_in_cache = [&m, &walk](const walk_tile& t, host::database::session& db) {
      return seed_one(m, walk.layers()[t.layer].name, t, db);
    };
    seeder run(io, o, pool, walk, counts, &record, areas, store_in_cache, {"seed", "seeded", "stored"});
    // Recorded before the first tile, so that even an early kill leaves a record to continue.
    if (!resumed || !resumed->complete) record.snapshot(state_of(o, areas, walk, counts, walk.finished()));
    if (walk.finished()) {
      std::fprintf(stderr, "nothing left to do in %s\n", o.state_path.c_str());
      return run.finish(0s);
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (ec) return;
      std::fprintf(stderr, "\nstopping after the tiles in flight (again to stop at once)\n");
      run.stop(true);
      signals.async_wait([&](const boost::system::error_code& ec2, int) {
        if (ec2) return;
        // The journal already holds every tile done; the tiles in flight are built again.
        std::_Exit(130);
      });
    });
    return run.run_to_end(signals);
  } catch (const usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles seed: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc-tiles seed: %s\n", e.what());
    return 1;
  }
}

int run_export(const seed_options& o) {
  if (!o.since.empty()) return run_delta(o);
  try {
    asio::io_context io;
    host::database::pool pool(io.get_executor(), tile_pool_options(o.database_url, o.concurrency));

    const auto areas = wait_for(io, resolve_areas(o, pool));
    const auto all = package_walk_layer(o, areas);
    seed_walk walk({all}, o.zooms.min, o.zooms.max);
    if (o.dry_run) {
      print_dry_run(walk);
      return 0;
    }
    if (walk.total() == 0) throw usage_error("no tile of these layers lies in the area at these zooms");

    // Tiles come from the database only; the cache is neither read nor written.
    tile_gateway::module_options module_options;
    module_options.redis = tile_gateway::read_redis_settings(host::process_env);
    tile_gateway::tile_gateway_module m(io.get_executor(), module_options);
    m.logger->set_level(spdlog::level::off);

    package_description description;
    description.name = all.name;
    description.feed_position = wait_for(io, feed_position(pool));
    description.exported_at = utc_now();
    description.area = area_of(o);
    description.vector_layers = wait_for(io, vector_layers_of(m, all.name, o.zooms, pool));
    description.min_zoom = std::max(o.zooms.min, all.first_zoom);
    description.max_zoom = o.zooms.max;
    description.bounds = tile_gateway::to_wgs84(all.area);
    description.walk_area = all.area;

    auto package = open_package(o.format, o.output);
    const tile_job into_package = [&m, &o, &package](const walk_tile& t, host::database::session& db) {
      return export_one(m, o.layers, t, db, *package);
    };
    seeder run(io, o, pool, walk, {}, nullptr, areas, into_package, {"export", "exported", "written"});

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (ec) return;
      std::fprintf(stderr, "\nstopping after the tiles in flight; no package is written\n");
      run.stop(true);
    });
    const int status = run.run_to_end(signals);
    if (status != 0) {
      std::printf("no package written%s\n", status == 1 ? ": some tiles failed" : "");
      return status;
    }
    if (package->tiles() == 0) {
      std::printf("no package written: every tile of the area is empty\n");
      return 1;
    }
    package->finish(description);
    std::error_code ignored;
    const auto size = std::filesystem::file_size(o.output, ignored);
    std::printf("package %s: %llu tiles, %s, change-feed position %s\n", o.output.c_str(),
                static_cast<unsigned long long>(package->tiles()), format_bytes(size).c_str(),
                description.feed_position ? std::to_string(*description.feed_position).c_str() : "none (no feed)");
    return 0;
  } catch (const usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles export: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc-tiles export: %s\n", e.what());
    return 1;
  }
}

}  // namespace mapsvc::tiles
