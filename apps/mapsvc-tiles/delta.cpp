// mapsvc-tiles export --since and apply: packages kept current from the change feed.
#include "delta.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "host/database/get_db.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"
#include "host/http/representation.hpp"
#include "progress.hpp"
#include "run_support.hpp"
#include "tile_patch.hpp"

namespace mapsvc::tiles {
namespace asio = boost::asio;

namespace {

using tile_ref = package_description::tile_ref;

// Beyond this many changed tiles a delta is no smaller than the package: export afresh.
constexpr std::size_t MAX_DELTA_TILES = 2'000'000;

constexpr std::string_view FEED_SPAN_SQL =
    "SELECT coalesce((SELECT min(position) FROM mapsvc_feed.history), 0)::int8 AS first, "
    "(SELECT CASE WHEN is_called THEN last_value ELSE 0 END FROM mapsvc_feed.position_seq)::int8 AS head";
// What changed after a position: the history past it, and the changes not yet given a position.
constexpr std::string_view CHANGES_SQL =
    "SELECT table_name, minx, miny, maxx, maxy FROM mapsvc_feed.history WHERE position > :after "
    "UNION ALL SELECT table_name, minx, miny, maxx, maxy FROM mapsvc_feed.pending";

struct failure_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

asio::awaitable<std::vector<tile_gateway::feed_change>> changes_after(host::database::pool& pool, std::int64_t after) {
  auto db = host::database::get_db(pool);
  const auto span = co_await db.execute(FEED_SPAN_SQL);
  const auto first = span[0].get<std::int64_t>("first"), head = span[0].get<std::int64_t>("head");
  // Rows are pruned oldest first: if the history no longer starts right after the package's
  // position, changes it needs may be gone.
  if (head > after && (first == 0 || first > after + 1)) {
    co_await db.close();
    throw failure_error(fmt::format(
        "the package reflects the change feed up to position {}, but the history the database keeps now starts at "
        "{}: the changes between are pruned. Export the package afresh.",
        after, first == 0 ? head + 1 : first));
  }
  const clients::pg::params since{{"after", after}};
  const auto rows = co_await db.execute(CHANGES_SQL, since, std::chrono::seconds(120));
  std::vector<tile_gateway::feed_change> out;
  out.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto r = rows[i];
    const auto minx = r.get_optional<double>("minx"), miny = r.get_optional<double>("miny"),
               maxx = r.get_optional<double>("maxx"), maxy = r.get_optional<double>("maxy");
    std::optional<tile_gateway::mercator_box> extent;
    if (minx && miny && maxx && maxy) extent = tile_gateway::mercator_box{*minx, *miny, *maxx, *maxy};
    out.push_back({r.get<std::string>("table_name"), extent});
  }
  co_await db.close();
  co_return out;
}

// The package's tiles that the changes may have altered: per layer of the package, the tiles
// at its zooms meeting what changed, within the area the package covers.
std::set<tile_ref> changed_tiles(const std::vector<tile_gateway::feed_change>& changes,
                                 const std::vector<std::string>& layers, const package_description& d) {
  const auto plan = tile_gateway::plan_invalidation(tile_gateway::LAYER_CONFIG(), changes, 0);
  const auto& area = *d.walk_area;
  std::set<tile_ref> out;
  for (const auto& a : plan.areas) {
    if (std::find(layers.begin(), layers.end(), a.layer) == layers.end()) continue;
    const tile_gateway::mercator_box box{std::max(a.box.minx, area.minx), std::max(a.box.miny, area.miny),
                                         std::min(a.box.maxx, area.maxx), std::min(a.box.maxy, area.maxy)};
    if (box.minx > box.maxx || box.miny > box.maxy) continue;
    for (int z = std::max(a.minzoom, d.min_zoom); z <= std::min(a.maxzoom, d.max_zoom); ++z) {
      const auto span = tile_gateway::tiles_meeting(box, z);
      if (out.size() + span.count() > MAX_DELTA_TILES)
        throw failure_error(fmt::format("over {} tiles changed: export the package afresh", MAX_DELTA_TILES));
      for (auto x = span.x0; x <= span.x1; ++x)
        for (auto y = span.y0; y <= span.y1; ++y)
          out.insert({z, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)});
    }
  }
  return out;
}

// Builds every tile of `tiles`, `concurrency` at a time, into `package`; the empty ones are
// returned (removed from the package). Throws when a tile fails three times.
std::vector<tile_ref> build_into(asio::io_context& io, host::database::pool& pool, int concurrency,
                                 const std::vector<tile_ref>& tiles, const tile_job& job) {
  std::size_t next = 0, running = 0;
  std::vector<tile_ref> removed;
  std::optional<std::string> failed;
  const auto worker = [&]() -> asio::awaitable<void> {
    while (next < tiles.size() && !failed) {
      const auto t = tiles[next++];
      std::string why;
      const auto done = co_await try_thrice(pool, job, walk_tile{0, t.z, t.x, t.y}, why);
      if (!done) failed = fmt::format("tile {}/{}/{} failed: {}", t.z, t.x, t.y, why);
      else if (done->outcome == tile_outcome::empty) removed.push_back(t);
    }
    --running;
  };
  for (int i = 0; i < concurrency; ++i) {
    ++running;
    asio::co_spawn(io, worker(), asio::detached);
  }
  io.restart();
  while (running > 0 && io.run_one() > 0) {
  }
  if (failed) throw failure_error(*failed + "; no delta written");
  std::sort(removed.begin(), removed.end());
  return removed;
}

struct delta_counts {
  std::size_t patched = 0, unchanged = 0;
};

// One tile of a delta: left out when its bytes are the package's, a patch against the package's
// tile when that is smaller, else the whole tile gzip-compressed.
asio::awaitable<built> delta_one(tile_gateway::tile_gateway_module& m, const std::vector<std::string>& layers,
                                 walk_tile t, host::database::session& db, const package_reader& base,
                                 package_writer& delta, delta_counts& counts) {
  const auto tile = co_await build_composite(m, layers, t, db);
  if (tile.bytes.empty()) co_return built{tile_outcome::empty, 0, tile.every_layer_served};
  const auto x = static_cast<std::uint32_t>(t.x), y = static_cast<std::uint32_t>(t.y);
  const auto had = base.find(t.z, x, y);
  const auto was = had ? std::optional(gunzip(*had)) : std::nullopt;
  if (was == tile.bytes) {
    ++counts.unchanged;
    co_return built{tile_outcome::stored, 0};
  }
  // Compressed only once the tile is known to have changed.
  auto bytes = host::http::gzip_compress(tile.bytes);
  if (was) {
    if (auto patch = make_patch(*was, tile.bytes); patch.size() < bytes.size()) {
      bytes = std::move(patch);
      ++counts.patched;
    }
  }
  delta.add(t.z, x, y, bytes);
  co_return built{tile_outcome::stored, bytes.size()};
}

}  // namespace

int run_delta(const seed_options& o) {
  try {
    const package_reader base(o.since);
    const auto was = description_of(base.metadata());
    if (was.delta_since) throw failure_error(o.since.string() + " is a delta: give the package it applies to");
    if (!was.feed_position)
      throw failure_error(o.since.string() + " was exported without the change feed: export the package afresh");
    if (!was.walk_area) throw failure_error(o.since.string() + " records no area: export the package afresh");
    const auto layers = split_names(was.name);
    for (const auto& name : layers)
      if (!tile_gateway::LAYER_CONFIG().contains(name))
        throw failure_error(fmt::format("{} holds layer '{}', which this server does not serve", o.since.string(), name));

    asio::io_context io;
    host::database::pool pool(io.get_executor(), tile_pool_options(o.database_url, o.concurrency));

    const auto now_at = wait_for(io, feed_position(pool));
    if (!now_at) throw failure_error("the change feed is not installed in the database: no delta can be made");
    const auto changes = wait_for(io, changes_after(pool, *was.feed_position));
    const auto changed = changed_tiles(changes, layers, was);
    const std::vector<tile_ref> tiles(changed.begin(), changed.end());

    tile_gateway::module_options module_options;
    module_options.redis = tile_gateway::read_redis_settings(host::process_env);
    tile_gateway::tile_gateway_module m(io.get_executor(), module_options);
    m.logger->set_level(spdlog::level::off);
    auto package = open_package(o.format, o.output);
    delta_counts counts;
    const tile_job into_delta = [&](const walk_tile& t, host::database::session& db) {
      return delta_one(m, layers, t, db, base, *package, counts);
    };
    package_description delta = was;
    delta.feed_position = now_at;
    delta.exported_at = utc_now();
    delta.delta_since = was.feed_position;
    delta.removed = build_into(io, pool, o.concurrency, tiles, into_delta);
    // Tiles empty before and after are no news.
    std::erase_if(delta.removed, [&base](const tile_ref& t) { return !base.find(t.z, t.x, t.y); });
    package->finish(delta);

    std::error_code ignored;
    std::printf("delta %s: %zu changes since position %lld touch %zu tiles: %llu written (%zu as patches), %zu "
                "unchanged, %zu empty now; %s; change-feed position %lld\n",
                o.output.c_str(), changes.size(), static_cast<long long>(*was.feed_position), tiles.size(),
                static_cast<unsigned long long>(package->tiles()), counts.patched, counts.unchanged,
                delta.removed.size(),
                format_bytes(std::filesystem::file_size(o.output, ignored)).c_str(), static_cast<long long>(*now_at));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc-tiles export: %s\n", e.what());
    return 1;
  }
}

int run_apply(const apply_options& o) {
  try {
    const package_reader base(o.package), delta(o.delta);
    auto now = description_of(base.metadata());
    const auto update = description_of(delta.metadata());
    if (!update.delta_since) throw failure_error(o.delta.string() + " is not a delta (export --since makes one)");
    if (now.delta_since) throw failure_error(o.package.string() + " is a delta itself");
    if (!now.feed_position || *update.delta_since != *now.feed_position)
      throw failure_error(fmt::format("{} updates a package at change-feed position {}; {} is at {}", o.delta.string(),
                                      *update.delta_since, o.package.string(),
                                      now.feed_position ? std::to_string(*now.feed_position) : "none"));
    if (update.name != now.name || update.min_zoom != now.min_zoom || update.max_zoom != now.max_zoom)
      throw failure_error(fmt::format("{} holds {} at zooms {}-{}; {} holds {} at {}-{}", o.delta.string(), update.name,
                                      update.min_zoom, update.max_zoom, o.package.string(), now.name, now.min_zoom,
                                      now.max_zoom));

    if (const auto named = package_format_of(o.output); named && *named != base.format())
      throw failure_error(fmt::format("{} would be a {} file; {} is {}", o.output.string(),
                                      *named == package_format::pmtiles ? "PMTiles" : "MBTiles", o.package.string(),
                                      base.format() == package_format::pmtiles ? "PMTiles" : "MBTiles"));

    // The delta is the small one: its tiles are held, the package's streamed through. A patch
    // is resolved against the package's tile as that passes.
    std::map<tile_ref, std::string> replaced;
    delta.for_each_tile([&](const package_tile& t) { replaced[{t.z, t.x, t.y}] = t.gzipped; });
    const std::set<tile_ref> removed(update.removed.begin(), update.removed.end());

    auto out = open_package(base.format(), o.output);
    std::uint64_t kept = 0;
    base.for_each_tile([&](const package_tile& t) {
      const tile_ref at{t.z, t.x, t.y};
      if (removed.contains(at)) return;
      const auto change = replaced.find(at);
      if (change == replaced.end()) {
        out->add(t.z, t.x, t.y, t.gzipped);
        ++kept;
      } else if (is_patch(change->second)) {
        change->second = host::http::gzip_compress(apply_patch(gunzip(t.gzipped), change->second));
        out->add(t.z, t.x, t.y, change->second);
        change->second.clear();  // written
      }
    });
    for (const auto& [at, bytes] : replaced) {
      if (bytes.empty()) continue;
      if (is_patch(bytes))
        throw failure_error(fmt::format("{} patches tile {}/{}/{}, which {} does not hold", o.delta.string(), at.z,
                                        at.x, at.y, o.package.string()));
      out->add(at.z, at.x, at.y, bytes);
    }
    now.feed_position = update.feed_position;
    now.exported_at = update.exported_at;
    out->finish(now);
    std::printf("applied: %s from %s and %s: %llu tiles kept, %zu replaced or added, %zu removed; change-feed position "
                "%lld\n",
                o.output.c_str(), o.package.c_str(), o.delta.c_str(), static_cast<unsigned long long>(kept),
                replaced.size(), removed.size(), static_cast<long long>(update.feed_position.value_or(0)));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc-tiles apply: %s\n", e.what());
    return 1;
  }
}

}  // namespace mapsvc::tiles
