// The change feed against real servers: edits committed to the fixture tables evict exactly
// the cached entries they touch, builds overtaken by an edit are not stored, a backlog left
// while no consumer ran is applied, and the lease moves when its holder dies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <thread>

#include <boost/asio/post.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/database/get_db.hpp"
#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/change_feed.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"
#include "mapsvc/tile_gateway/change_plan.hpp"
#include "mapsvc/tile_gateway/zoom_policy.hpp"
#include "support.hpp"
#include "test_support/wait.hpp"

namespace tile_test {
namespace {

using mapsvc::tile_gateway::change_feed;
using mapsvc::tile_gateway::change_feed_options;
using mapsvc::tile_gateway::mercator_box;

// Waits for `done`, checking every 20 ms, at most `limit`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  return test_support::eventually(done, limit);
}

change_feed_options fast_options() {
  change_feed_options o;
  o.conninfo = fixture_db::url();
  o.announce = false;
  o.batch_window = 5ms;
  o.poll_every = 200ms;
  o.lease_for = 600ms;
  o.settle = 100ms;
  return o;
}

class FeedConsumer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture_db::install_change_feed(); }

  void SetUp() override {
    redis.flushdb();
    other_redis.flushdb();
    db.exec("DELETE FROM mapsvc_feed.pending");
    db.exec("DELETE FROM mapsvc_feed.history");
    db.exec("DELETE FROM mapsvc_feed.cursor");
  }

  void TearDown() override {
    for (auto& [feed, svc] : feeds) stop(*feed, *svc);
    feeds.clear();
    services.clear();
  }

  // A service of the fixture's: it outlives the feeds started on it.
  service& add_service(service_options options = {}) {
    return *services.emplace_back(std::make_unique<service>(std::move(options)));
  }

  change_feed& start_feed(service& svc, change_feed_options o = fast_options()) {
    o.open_session = [&svc] { return host::database::get_db(svc.pool()); };
    feeds.emplace_back(std::make_unique<change_feed>(svc.module(), std::move(o)), &svc);
    feeds.back().first->start();
    return *feeds.back().first;
  }

  // Stops a feed and waits until its coroutines have ended, so that the service may go.
  static void stop(change_feed& feed, service& svc, bool release = true) {
    feed.stop(release);
    eventually([&] { return svc.run(running(feed)) == 0; });
  }
  static boost::asio::awaitable<std::size_t> running(change_feed& feed) { co_return feed.running(); }

  // Nothing pending, and the cache of `r` has applied the whole history.
  bool applied(redis_sync& r) {
    const auto cache = r.get("mapsvc:feed:cache");
    if (!cache) return false;
    return db.exec("SELECT (SELECT count(*) FROM mapsvc_feed.pending) = 0 AND coalesce((SELECT position FROM "
                   "mapsvc_feed.cursor WHERE cache = '" + *cache + "'), -1) >= (SELECT coalesce(max(position), 0) "
                   "FROM mapsvc_feed.history)")[0] == "t";
  }
  bool applied() { return applied(redis); }

  // The cache keys of `layer` whose tiles meet `box`, at every zoom the layer is served.
  static std::vector<std::string> tiles_of(const std::string& layer, const mercator_box& box) {
    std::vector<std::string> keys;
    for (int z = 1; z <= 20; ++z) {
      if (!mapsvc::tile_gateway::get_zoom_config(z, layer)) continue;
      const auto span = mapsvc::tile_gateway::tiles_meeting(box, z);
      for (auto x = span.x0; x <= span.x1; ++x)
        for (auto y = span.y0; y <= span.y1; ++y)
          keys.push_back("mvt_v8:" + mapsvc::tile_gateway::tile_cache_key(layer, z, x, y));
    }
    return keys;
  }

  mercator_box extent_of_plot(int id) {
    const auto r = db.exec("SELECT concat_ws(',', ST_XMin(g), ST_YMin(g), ST_XMax(g), ST_YMax(g)) FROM "
                           "(SELECT \"GEOMETRY_3857\" AS g FROM \"PLOT\" WHERE \"ID\" = " + std::to_string(id) + ") s");
    mercator_box b{};
    std::sscanf(r.at(0).c_str(), "%lf,%lf,%lf,%lf", &b.minx, &b.miny, &b.maxx, &b.maxy);
    return b;
  }

  int some_plot() { return std::stoi(db.exec("SELECT min(\"ID\") FROM \"PLOT\" WHERE \"ID\" < 9000")[0]); }

  // Gone, or (z12 and below) built again by the feed since: no longer the placeholder.
  bool evicted(const std::string& key, redis_sync& r) { return r.get(key) != std::optional<std::string>("tile"); }
  bool evicted(const std::string& key) { return evicted(key, redis); }
  // Stored as a server of an older release stores it: in no set.
  void r_set_unlisted(const std::string& key) { redis.set(key, "tile"); }

  // Stored as a build stores them: XYZ tiles listed in the set of their layer and zoom first.
  void cache(const std::vector<std::string>& keys, redis_sync& r) {
    for (const auto& k : keys) {
      const auto tile = mapsvc::tile_gateway::parse_tile_key(std::string_view(k).substr(std::string("mvt_v8:").size()));
      if (tile) {
        const auto until = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count() + 3600;
        r.command({"ZADD", tile_list(tile->first, tile->second.z), std::to_string(until),
                   k.substr(std::string("mvt_v8:").size())});
      }
      r.set(k, "tile");
    }
  }
  static std::string tile_list(const std::string& layer, int z) {
    return fmt::format("mapsvc:tile-index:mvt_v8:{}:{}", layer, z);
  }
  void cache(const std::vector<std::string>& keys) { cache(keys, redis); }

  pg_admin db{fixture_db::url()};
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  // A second cache (another Redis database) on the same tables.
  static int other_redis_db() { return test_redis_db() + 1; }
  redis_sync other_redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), other_redis_db()};
  std::vector<std::unique_ptr<service>> services;
  std::vector<std::pair<std::unique_ptr<change_feed>, service*>> feeds;
};

TEST_F(FeedConsumer, AnEditEvictsExactlyTheEntriesItTouches) {
  auto& svc = add_service();
  start_feed(svc);
  const int id = some_plot();
  const auto before = extent_of_plot(id);
  const mercator_box after{before.minx + 25, before.miny, before.maxx + 25, before.maxy};
  auto touched = tiles_of("plots", before);
  for (auto& k : tiles_of("plots", after)) touched.push_back(k);
  cache(touched);
  // Far away, other layers, a box tile inside and one outside, the layer's centroid.
  const std::vector<std::string> kept{"mvt_v8:plots:15:1:1", "mvt_v8:plots:20:5:5", "mvt_v8:beacons:16:35000:31000",
                                      "mvt_v8:bbox:plots:0:0:10:10:5000:True", "mvt_v8:centroid:beacons"};
  cache(kept);
  const std::string inside = fmt::format("mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:5000:True", before.minx - 50,
                                         before.miny - 50, before.maxx + 50, before.maxy + 50);
  cache({inside, "mvt_v8:centroid:plots"});

  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", 25, 0) "
          "WHERE \"ID\" = " + std::to_string(id));
  ASSERT_TRUE(eventually([&] { return applied() && !redis.get(inside); }));
  for (const auto& k : touched) EXPECT_TRUE(evicted(k)) << k;
  // Entries no build had claimed (above z12 nothing is rebuilt ahead) leave no generation behind.
  for (const auto& k : touched) {
    const auto tile = mapsvc::tile_gateway::parse_tile_key(std::string_view(k).substr(std::string("mvt_v8:").size()));
    if (tile && tile->second.z > 12) {
      EXPECT_FALSE(redis.get(mapsvc::tile_gateway::generation_key(k))) << k;
    }
  }
  EXPECT_FALSE(redis.get("mvt_v8:centroid:plots"));
  for (const auto& k : kept) EXPECT_TRUE(redis.get(k)) << k;
  EXPECT_EQ(db.exec("SELECT count(*) > 0 FROM mapsvc_feed.history WHERE table_name = 'PLOT'")[0], "t");
  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", -25, 0) WHERE \"ID\" = " +
          std::to_string(id));
  EXPECT_TRUE(eventually([&] { return applied(); }));
}

// A stop that lands while a batch is under way: the batch is finished (the cursor moves over
// it) and every loop of the feed ends. Nothing is rebuilt ahead by a feed that is stopping.
TEST_F(FeedConsumer, AStopDuringABatchFinishesItAndEnds) {
  auto& svc = add_service();
  auto& feed = start_feed(svc);
  ASSERT_TRUE(eventually([&] { return applied(); }));  // holds the lease, has its cursor
  const int id = some_plot();
  std::vector<std::string> low;  // tiles the feed would rebuild ahead
  for (const auto& k : tiles_of("plots", extent_of_plot(id)))
    if (mapsvc::tile_gateway::parse_tile_key(std::string_view(k).substr(std::string("mvt_v8:").size()))->second.z <= 12)
      low.push_back(k);
  ASSERT_FALSE(low.empty());
  cache(low);

  // The cursor's row locked elsewhere: the batch's pass runs, then its move of the cursor waits.
  pg_admin blocker{fixture_db::url()};
  blocker.exec("BEGIN");
  blocker.exec("SELECT position FROM mapsvc_feed.cursor FOR UPDATE");
  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", 25, 0) WHERE \"ID\" = " +
          std::to_string(id));
  ASSERT_TRUE(eventually([&] {
    return db.exec("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND query LIKE "
                   "'%UPDATE mapsvc_feed.cursor SET position%'")[0] == "1";
  }));
  feed.stop();
  svc.run(running(feed));  // the loop has seen the stop
  blocker.exec("COMMIT");

  EXPECT_TRUE(eventually([&] { return svc.run(running(feed)) == 0; }));
  EXPECT_TRUE(applied());
  for (const auto& k : low) EXPECT_FALSE(redis.get(k)) << k;
  db.exec("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", -25, 0) WHERE \"ID\" = " +
          std::to_string(id));
}

// The race that makes naive purging useless: a build reads the database, the edit commits and
// its entries are invalidated, then the build stores what it read. The store must be refused.
// A stored box tile is listed in its layer's list first, and an edit reads the list instead of
// walking the keyspace (dropping members whose time is up). Box tiles stored before the lists
// existed are listed by one walk, the first time an edit needs the lists.
TEST_F(FeedConsumer, BoxTilesAreFoundInTheirLayersList) {
  auto& svc = add_service();
  const int id = some_plot();
  const auto plot = extent_of_plot(id);
  const std::string older = fmt::format("mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:7:True", plot.minx - 9,
                                        plot.miny - 9, plot.maxx + 9, plot.maxy + 9);
  cache({older});
  const auto box = fmt::format("minx={:.0f}&miny={:.0f}&maxx={:.0f}&maxy={:.0f}&srid=3857", plot.minx - 50,
                               plot.miny - 50, plot.maxx + 50, plot.maxy + 50);
  const auto built = svc.get("/gis/plots/bbox/?" + box);
  ASSERT_EQ(built.status, 200u) << built.body;
  std::string stored;
  for (const auto& k : redis.keys("mvt_v8:bbox:plots:*"))
    if (k != older) stored = k;
  ASSERT_FALSE(stored.empty());
  const std::string list = "mapsvc:bbox-index:mvt_v8:plots";
  // Outside the cache's namespace: a purge deletes and counts cache entries only.
  EXPECT_EQ(redis.keys("mvt_v8:*").size(), 2u);
  EXPECT_FALSE(redis.command({"ZSCORE", list, stored.substr(std::string("mvt_v8:").size())}).empty());
  EXPECT_TRUE(redis.command({"ZSCORE", list, older.substr(std::string("mvt_v8:").size())}).empty());
  EXPECT_GT(redis.ttl(list), 1800);

  start_feed(svc);
  auto move_plot = [&](int dx) {
    db.exec(fmt::format("UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", {}, 0) WHERE "
                        "\"ID\" = {}", dx, id));
  };
  move_plot(25);
  ASSERT_TRUE(eventually([&] { return applied() && !redis.get(stored) && !redis.get(older); }));
  EXPECT_TRUE(redis.get("mapsvc:bbox-index-since:mvt_v8"));

  // Once listed, only the lists are read: an entry nobody listed is not looked for, and a
  // member whose time is up goes.
  const std::string unlisted = fmt::format("mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:8:True", plot.minx - 9,
                                           plot.miny - 9, plot.maxx + 9, plot.maxy + 9);
  cache({unlisted});
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
  redis.command({"ZADD", list, std::to_string(now - 5), "bbox:plots:0:0:1:1:5000:True"});
  const auto members = std::stoi(redis.command({"ZCARD", list}));
  move_plot(-25);
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(redis.get(unlisted));
  EXPECT_EQ(std::stoi(redis.command({"ZCARD", list})), members - 1);
}

TEST_F(FeedConsumer, ABuildOvertakenByAnEditDoesNotStoreWhatItRead) {
  auto& svc = add_service();
  start_feed(svc);
  const int id = some_plot();
  const auto extent = extent_of_plot(id);
  const auto z16 = mapsvc::tile_gateway::tiles_meeting(extent, 16);
  const std::string key = mapsvc::tile_gateway::tile_cache_key("plots", 16, z16.x0, z16.y0);
  auto& cache = svc.module().cache;

  // The build's ticket is taken before its statement would run...
  EXPECT_FALSE(redis.get("mvt_v8:" + key));
  const auto ticket = svc.run(cache.ticket_for(key));
  // ...the edit commits and is applied meanwhile...
  db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(id));
  ASSERT_TRUE(eventually([&] { return applied(); }));
  // ...so what the build read is not stored.
  EXPECT_FALSE(svc.run(cache.set_if_current(key, "old bytes", 60, ticket)));
  EXPECT_FALSE(redis.get("mvt_v8:" + key));
  // A build that starts after the edit stores as usual.
  const auto fresh = svc.run(cache.ticket_for(key));
  EXPECT_TRUE(svc.run(cache.set_if_current(key, "new bytes", 60, fresh)));
  EXPECT_EQ(redis.get("mvt_v8:" + key), "new bytes");
  EXPECT_LE(std::stoll(redis.command({"TTL", mapsvc::tile_gateway::generation_key("mvt_v8:" + key)})),
            mapsvc::tile_gateway::BinaryRedisCache::GENERATION_LIFETIME_SECONDS);
  // Each claim gives the generation a whole lifetime again: one left to expire during a build
  // could be made anew by a later build with the value this one holds, and let it store what it
  // read before an edit.
  const std::string generation = mapsvc::tile_gateway::generation_key("mvt_v8:" + key);
  redis.command({"PEXPIRE", generation, "500"});
  const auto renewed = svc.run(cache.ticket_for(key));
  EXPECT_EQ(renewed.generation, fresh.generation);
  EXPECT_GT(std::stoll(redis.command({"PTTL", generation})), 100000);
}

// A large edit invalidates hundreds of entries at once, several per script run: each still gets
// its own answer, in order, and only the generations a build claimed move on.
TEST_F(FeedConsumer, ManyEntriesAreInvalidatedEachWithItsOwnAnswer) {
  auto& svc = add_service();
  auto& cache = svc.module().cache;
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) {
    keys.push_back(mapsvc::tile_gateway::tile_cache_key("plots", 20, 1000 + i, 7));
    const std::string full = "mvt_v8:" + keys.back();
    if (i % 3 == 0) redis.command({"SET", full, "bytes", "EX", "60"});
    if (i % 5 == 0) svc.run(cache.ticket_for(keys.back()));
  }
  const auto replies = svc.run(cache.invalidate_each(keys));
  ASSERT_EQ(replies.size(), keys.size());
  for (int i = 0; i < 300; ++i) {
    const std::string full = "mvt_v8:" + keys[static_cast<std::size_t>(i)];
    const auto& r = replies[static_cast<std::size_t>(i)];
    ASSERT_EQ(r.type, clients::redis::reply_type::integer) << i << ": " << r.str;
    EXPECT_EQ(r.integer, i % 3 == 0 ? 1 : 0) << i;
    EXPECT_FALSE(redis.get(full)) << i;
    const auto generation = redis.get(mapsvc::tile_gateway::generation_key(full));
    if (i % 5 == 0) {
      EXPECT_EQ(generation, "1") << i;
    } else {
      EXPECT_FALSE(generation) << i;
    }
  }
}

// Through HTTP: the tile served after an edit is built afresh and shows the edit.
TEST_F(FeedConsumer, TheNextRequestAfterAnEditGetsTheNewTile) {
  auto& svc = add_service();
  start_feed(svc);
  const auto& t = data_tile();
  const std::string path = tile_path("plots", 15, t.x, t.y);
  ASSERT_EQ(svc.get(path).status, 200u);
  ASSERT_TRUE(svc.get(path).has("x-cache"));
  const auto b = host::helpers::bounds_of(15, t.x, t.y);
  const auto in_tile = db.exec(fmt::format("SELECT min(\"ID\") FROM \"PLOT\" WHERE \"GEOMETRY_3857\" && "
                                           "ST_MakeEnvelope({}, {}, {}, {}, 3857)", b.minx, b.miny, b.maxx, b.maxy));
  const auto was = db.exec("SELECT \"GENERAL_LU\" FROM \"PLOT\" WHERE \"ID\" = " + in_tile.at(0)).at(0);
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = 'Edited' WHERE \"ID\" = " + in_tile.at(0));
  ASSERT_TRUE(eventually([&] { return applied(); }));
  const auto fresh = svc.get(path);
  EXPECT_EQ(fresh.status, 200u);
  EXPECT_FALSE(fresh.has("x-cache"));
  EXPECT_NE(fresh.body.find("Edited"), std::string::npos);
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = '" + was + "' WHERE \"ID\" = " + in_tile.at(0));
  EXPECT_TRUE(eventually([&] { return applied(); }));
}

// Low-zoom tiles are the costly ones: one that an edit evicted is built again at once, so
// the next viewer gets a hit with the edit in it.
TEST_F(FeedConsumer, EvictedLowZoomTilesAreRebuiltAheadOfTheirViewers) {
  auto& svc = add_service();
  start_feed(svc);
  const auto& t = data_tile();
  const auto z12 = host::helpers::tile_for(9.05, 7.49, 12);
  const std::string low = tile_path("plots", 12, z12.x, z12.y), high = tile_path("plots", 15, t.x, t.y);
  ASSERT_EQ(svc.get(low).status, 200u);
  ASSERT_EQ(svc.get(high).status, 200u);
  const std::string low_key = "mvt_v8:plots:12:" + std::to_string(z12.x) + ":" + std::to_string(z12.y);
  const std::string high_key = "mvt_v8:plots:15:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  const auto before = redis.get(low_key);
  ASSERT_TRUE(before);

  const auto was = db.exec("SELECT \"GENERAL_LU\" FROM \"PLOT\" WHERE \"ID\" = 1").at(0);
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = 'Rebuilt' WHERE \"ID\" = 1");
  ASSERT_TRUE(eventually([&] {
    const auto now = redis.get(low_key);
    return now && now->find("Rebuilt") != std::string::npos;
  }));
  EXPECT_FALSE(redis.get(high_key));  // above the refresh zooms: left for its next viewer
  EXPECT_TRUE(svc.get(low).has("x-cache"));
  db.exec("UPDATE \"PLOT\" SET \"GENERAL_LU\" = '" + was + "' WHERE \"ID\" = 1");
  EXPECT_TRUE(eventually([&] { return applied(); }));
}

// A district is too large to list its tiles at the deep zooms: those are looked up in the sets
// of cached tiles, and only the tiles it meets go. A truncate takes the whole layer.
TEST_F(FeedConsumer, LargeExtentsAreLookedUpAndATruncateTakesTheWholeLayer) {
  auto& svc = add_service();
  start_feed(svc);
  // About 11 km across at lat 9: tens of thousands of z20 tiles.
  const auto inside = host::helpers::tile_for(9.05, 7.49, 20), far = host::helpers::tile_for(9.5, 7.9, 20);
  const auto low = host::helpers::tile_for(9.05, 7.49, 10);
  const std::string in20 = "mvt_v8:districts:20:" + std::to_string(inside.x) + ":" + std::to_string(inside.y);
  const std::string far20 = "mvt_v8:districts:20:" + std::to_string(far.x) + ":" + std::to_string(far.y);
  const std::string in10 = "mvt_v8:districts:10:" + std::to_string(low.x) + ":" + std::to_string(low.y);
  cache({in20, far20, in10, "mvt_v8:plots:20:" + std::to_string(inside.x) + ":" + std::to_string(inside.y)});

  db.exec("INSERT INTO \"Districts\" VALUES (77, 'Scanned', 1, ST_Transform(ST_MakeEnvelope(7.44, 9.0, 7.54, "
          "9.1, 4326), 3857))");
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(evicted(in20));
  EXPECT_TRUE(evicted(in10));
  EXPECT_FALSE(evicted(far20));
  EXPECT_FALSE(evicted("mvt_v8:plots:20:" + std::to_string(inside.x) + ":" + std::to_string(inside.y)));

  cache({in20});
  db.exec("TRUNCATE \"Districts\"");
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(evicted(in20));
  EXPECT_TRUE(evicted(far20));
  EXPECT_FALSE(evicted("mvt_v8:plots:20:" + std::to_string(inside.x) + ":" + std::to_string(inside.y)));
}

// The second pass is owed even when Redis is away when it falls due (a failover, a restart): a
// tile stored late by a build that read the old rows is removed once Redis answers again.
TEST_F(FeedConsumer, ASecondPassThatFailsIsTriedAgainOnceRedisAnswers) {
  redis_child own;
  service_options so;
  so.redis_port = own.port();
  so.redis_db = 0;
  auto& svc = add_service(std::move(so));
  redis_sync r{"127.0.0.1", own.port(), 0};
  log_capture logs(svc.module().logger);
  auto o = fast_options();
  o.settle = 1500ms;
  start_feed(svc, o);
  ASSERT_TRUE(eventually([&] { return r.get("mapsvc:feed:lease").has_value(); }));

  const std::string zone = "mvt_v8:cadzones:20:1:1";
  // The whole table changed (what a TRUNCATE records, here without emptying the fixture's).
  db.exec("INSERT INTO mapsvc_feed.pending (table_name, op) VALUES ('CadZones', 'T'); NOTIFY mapsvc_feed");
  ASSERT_TRUE(eventually([&] { return applied(r); }));
  r.set(zone, "tile");  // a build that read the old rows stores after the first walk

  own.pause();  // before the second pass is due (a settle after the first)
  EXPECT_TRUE(eventually([&] { return logs.count("second pass failed") > 0; }, 15s));
  std::this_thread::sleep_for(o.settle * 2);  // tried again meanwhile, without a line each time
  own.resume();
  EXPECT_TRUE(eventually([&] { return evicted(zone, r); }, 10s));
  EXPECT_TRUE(eventually([&] { return logs.count("second pass went through after") == 1; }));
  EXPECT_EQ(logs.count("second pass failed"), 1u);
}

// An XYZ tile is listed in the set of its layer and zoom before its statement runs, and an edit
// covering many tiles reads the set instead of listing them: an entry nobody listed is not
// looked for, and a build listed before the edit cannot store what it read. Tiles stored before
// the sets existed are listed by one walk, the first time an edit needs the sets.
TEST_F(FeedConsumer, ManyTilesAreLookedUpInTheSetsOfCachedTiles) {
  auto& svc = add_service();
  const auto at = [](int z) { return host::helpers::tile_for(9.05, 7.49, z); };
  const auto key_at = [&](int z) {
    return mapsvc::tile_gateway::tile_cache_key("cadzones", z, at(z).x, at(z).y);
  };
  const std::string older = "mvt_v8:" + key_at(18);
  r_set_unlisted(older);
  // A request lists its tile (whether it turns out empty or not).
  const auto built = svc.get(fmt::format("/gis/cadzones/16/{}/{}.pbf", at(16).x, at(16).y));
  ASSERT_TRUE(built.status == 200u || built.status == 204u) << built.body;
  EXPECT_FALSE(redis.command({"ZSCORE", tile_list("cadzones", 16), key_at(16)}).empty());
  EXPECT_GT(redis.ttl(tile_list("cadzones", 16)), 1800);
  EXPECT_EQ(redis.keys("mvt_v8:*").size(), built.status == 200u ? 2u : 1u);  // the sets are no entries
  cache({"mvt_v8:" + key_at(16)});

  // A build taken up before the edit: ticket, then listed.
  auto& m = svc.module();
  const auto building = key_at(17);
  const auto ticket = svc.run(m.begin_build(tile_list("cadzones", 17), building, 60, 1s));
  ASSERT_TRUE(ticket);

  start_feed(svc);
  db.exec("INSERT INTO \"CadZones\" VALUES (79, 'Looked up', 3, ST_Transform(ST_MakeEnvelope(7.44, 9.0, 7.54, "
          "9.1, 4326), 3857))");
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(evicted("mvt_v8:" + key_at(16)));
  EXPECT_TRUE(evicted(older));  // found by the first walk
  EXPECT_TRUE(redis.get("mapsvc:tile-index-since:mvt_v8"));
  EXPECT_FALSE(svc.run(m.cache.set_if_current(building, "old bytes", 60, *ticket)));

  // Once listed, only the sets are read.
  const std::string unlisted = "mvt_v8:" + key_at(19), listed = "mvt_v8:" + key_at(20);
  r_set_unlisted(unlisted);
  cache({listed});
  db.exec("DELETE FROM \"CadZones\" WHERE id = 79");
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(evicted(listed));
  EXPECT_FALSE(evicted(unlisted));
}

TEST_F(FeedConsumer, ChangesMadeWhileNoConsumerRanAreAppliedWhenOneStarts) {
  auto& svc = add_service();
  const int id = some_plot();
  const auto keys = tiles_of("plots", extent_of_plot(id));
  cache(keys);
  for (int i = 0; i < 5; ++i) db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(id));
  EXPECT_EQ(db.exec("SELECT count(*) FROM mapsvc_feed.pending")[0], "5");
  // In batches smaller than the backlog.
  auto o = fast_options();
  o.batch_limit = 2;
  start_feed(svc, o);
  ASSERT_TRUE(eventually([&] { return applied(); }));
  for (const auto& k : keys) EXPECT_TRUE(evicted(k)) << k;
}

// One consumer for the fleet: a second one waits; when the holder dies without releasing its
// lease, the other takes over once the lease expires, and a holder whose fence is outdated
// applies nothing.
TEST_F(FeedConsumer, TheLeaseMovesWhenItsHolderDiesAndAnOutdatedHolderIsFenced) {
  auto& first = add_service();
  auto& second = add_service();
  auto& a = start_feed(first);
  ASSERT_TRUE(eventually([&] { return redis.get("mapsvc:feed:lease").has_value(); }));
  const auto holder = *redis.get("mapsvc:feed:lease");
  start_feed(second);
  stop(a, first, /*release=*/false);  // as if killed: the lease stays until it expires

  const int id = some_plot();
  const auto keys = tiles_of("plots", extent_of_plot(id));
  cache(keys);
  db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(id));
  ASSERT_TRUE(eventually([&] { return applied(); }, 5s));
  EXPECT_NE(redis.get("mapsvc:feed:lease"), holder);
  for (const auto& k : keys) EXPECT_TRUE(evicted(k)) << k;

  // A newer holder's fence (as if another worker had taken the lease meanwhile): the current
  // holder refuses to apply, gives the lease up, and applies only under a fence of its own.
  db.exec("UPDATE mapsvc_feed.cursor SET fence = fence + 1");
  cache(keys);
  db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(id));
  ASSERT_TRUE(eventually([&] { return applied(); }, 5s));
  for (const auto& k : keys) EXPECT_TRUE(evicted(k)) << k;
}

// A cache whose fleet was away longer than the history is kept cannot know what changed
// meanwhile: it drops every layer's tiles once, then follows from the end.
TEST_F(FeedConsumer, ACacheThatMissedPrunedChangesDropsEveryLayerOnce) {
  redis.set("mapsvc:feed:cache", "c0ffee");
  db.exec("SELECT setval('mapsvc_feed.position_seq', 100)");
  db.exec("INSERT INTO mapsvc_feed.cursor (cache, fence, position, updated_at) "
          "VALUES ('c0ffee', 3, 40, now() - interval '30 days')");
  const std::vector<std::string> cached{"mvt_v8:plots:16:1:1", "mvt_v8:lgas:9:3:3", "mvt_v8:centroid:beacons"};
  cache(cached);
  auto& svc = add_service();
  start_feed(svc);
  ASSERT_TRUE(eventually([&] { return db.exec("SELECT fence FROM mapsvc_feed.cursor WHERE cache = 'c0ffee'")[0] == "4"; }));
  for (const auto& k : cached) EXPECT_TRUE(eventually([&] { return evicted(k); })) << k;
}

// While a batch waits for the read replicas, its consumer asks every worker to hold: tiles it
// touches are answered but not stored, until the worker's cache has passed the batch. (The
// lease is held by an absent worker here, so that only the test moves the cursor.)
TEST_F(FeedConsumer, TilesOfABatchHeldForTheReplicasAreNotStoredUntilTheCursorPassesIt) {
  redis.set("mapsvc:feed:lease", "a worker elsewhere");
  auto& svc = add_service();
  start_feed(svc);
  ASSERT_TRUE(eventually([&] { return redis.get("mapsvc:feed:cache").has_value(); }));
  const auto cache_id = *redis.get("mapsvc:feed:cache");
  const int id = some_plot();
  const auto extent = extent_of_plot(id);
  const auto z16 = mapsvc::tile_gateway::tiles_meeting(extent, 16);
  const std::string key = mapsvc::tile_gateway::tile_cache_key("plots", 16, z16.x0, z16.y0);
  const auto position = db.exec(fmt::format(
      "INSERT INTO mapsvc_feed.history (position, table_name, op, minx, miny, maxx, maxy, recorded_at) VALUES "
      "(nextval('mapsvc_feed.position_seq'), 'PLOT', 'U', {}, {}, {}, {}, now()) RETURNING position",
      extent.minx, extent.miny, extent.maxx, extent.maxy))[0];
  auto& m = svc.module();
  const auto held = [&] { return !svc.run([&]() -> boost::asio::awaitable<bool> { co_return m.holds.empty(); }()); };
  const auto keep = [&](std::string bytes) {
    return svc.run([&]() -> boost::asio::awaitable<bool> {
      auto list = tile_list("plots", 16);
      const auto ticket = co_await m.begin_build(std::move(list), key, 60, 1s);
      co_await m.keep(key, std::move(bytes), 60, 1s, ticket);
      co_return true;
    }());
  };

  db.exec(fmt::format("NOTIFY mapsvc_tiles, 'hold {} {}'", std::stoll(position) - 1, position));
  ASSERT_TRUE(eventually(held));
  keep("built from a replica behind");
  EXPECT_FALSE(redis.get("mvt_v8:" + key)) << "held: answered, not stored";

  db.exec(fmt::format("INSERT INTO mapsvc_feed.cursor (cache, fence, position) VALUES ('{}', 1, {}) "
                      "ON CONFLICT (cache) DO UPDATE SET position = EXCLUDED.position", cache_id, position));
  db.exec(fmt::format("NOTIFY mapsvc_tiles, '{}'", position));
  ASSERT_TRUE(eventually([&] { return !held(); }));
  keep("built after the replicas");
  EXPECT_EQ(redis.get("mvt_v8:" + key), "built after the replicas");
}

// With read replicas, a batch is final only once they have replayed it, but it does not hold
// back the batches after it: each edit's tiles go at once, and the cursor moves over the
// batches, with a second pass each, as the replicas catch up.
TEST_F(FeedConsumer, BatchesWaitingForTheReplicasDoNotHoldBackTheNextEdits) {
  const auto caught_up = std::make_shared<std::atomic<bool>>(false);
  auto o = fast_options();
  o.replicas = true;
  o.replicas_have = [caught_up](const std::string&) { return caught_up->load(); };
  auto& svc = add_service();
  start_feed(svc, o);
  ASSERT_TRUE(eventually([&] { return db.exec("SELECT count(*) FROM mapsvc_feed.cursor")[0] == "1"; }));

  const int first = some_plot();
  const int second = std::stoi(db.exec("SELECT max(\"ID\") FROM \"PLOT\" WHERE \"ID\" < 9000")[0]);
  const auto first_keys = tiles_of("plots", extent_of_plot(first));
  const auto second_keys = tiles_of("plots", extent_of_plot(second));
  const auto all_evicted = [&](const std::vector<std::string>& keys) {
    return eventually([&] { return std::all_of(keys.begin(), keys.end(), [&](const auto& k) { return evicted(k); }); });
  };
  cache(first_keys);
  db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(first));
  ASSERT_TRUE(all_evicted(first_keys));
  cache(second_keys);
  db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(second));
  ASSERT_TRUE(all_evicted(second_keys)) << "the second edit waited behind the first";
  EXPECT_FALSE(applied()) << "the cursor moved before the replicas had the changes";

  // Stored meanwhile from a replica still behind: the second pass takes it.
  cache(first_keys);
  caught_up->store(true);
  ASSERT_TRUE(eventually([&] { return applied(); }));
  EXPECT_TRUE(all_evicted(first_keys));
}

// Two caches on one database (two fleets, or a staging cache beside production): each has a
// lease and a cursor of its own, and each applies every change, whichever of them moved it.
TEST_F(FeedConsumer, EveryCacheOnTheDatabaseAppliesEveryChange) {
  auto& first = add_service();
  service_options second_options;
  second_options.redis_db = other_redis_db();
  auto& second = add_service(second_options);
  start_feed(first);
  start_feed(second);
  ASSERT_TRUE(eventually([&] { return applied(redis) && applied(other_redis); }));
  ASSERT_NE(redis.get("mapsvc:feed:cache"), other_redis.get("mapsvc:feed:cache"));

  const int id = some_plot();
  const auto keys = tiles_of("plots", extent_of_plot(id));
  for (int round = 0; round < 4; ++round) {
    cache(keys, redis);
    cache(keys, other_redis);
    db.exec("UPDATE \"PLOT\" SET \"STATUS\" = \"STATUS\" WHERE \"ID\" = " + std::to_string(id));
    ASSERT_TRUE(eventually([&] { return applied(redis) && applied(other_redis); }, 5s)) << "round " << round;
    for (const auto& k : keys) {
      EXPECT_TRUE(evicted(k, redis)) << "round " << round << ": " << k;
      EXPECT_TRUE(evicted(k, other_redis)) << "round " << round << ": " << k;
    }
  }
  EXPECT_EQ(db.exec("SELECT count(*) FROM mapsvc_feed.history WHERE table_name = 'PLOT'")[0], "4")
      << "each change is recorded once, not once per cache";
}

// ---- Purging a box by hand (no feed needed)

class AreaPurge : public ::testing::Test {
 protected:
  void SetUp() override {
    redis.flushdb();
    // Tiles around Abuja (lon 7.49, lat 9.05) and far away, at z12 and z16.
    const auto near12 = host::helpers::tile_for(9.05, 7.49, 12), near16 = host::helpers::tile_for(9.05, 7.49, 16);
    inside = {"mvt_v8:" + mapsvc::tile_gateway::tile_cache_key("plots", 12, near12.x, near12.y),
              "mvt_v8:" + mapsvc::tile_gateway::tile_cache_key("plots", 16, near16.x, near16.y)};
    outside = {"mvt_v8:plots:16:1:1", "mvt_v8:beacons:16:" + std::to_string(near16.x) + ":" + std::to_string(near16.y),
               "mvt_v8:centroid:plots"};
    for (const auto& k : inside) redis.set(k, "x");
    for (const auto& k : outside) redis.set(k, "x");
  }
  service svc;
  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  std::vector<std::string> inside, outside;
};

TEST_F(AreaPurge, RemovesOnlyTheLayersTilesMeetingTheBoxAtTheZoomsAsked) {
  const std::string box = "/gis/cache/invalidate/plots?bbox=7.489,9.049,7.491,9.051";
  auto r = svc.post(box + "&zooms=16");
  ASSERT_EQ(r.status, 200u) << r.body;
  EXPECT_FALSE(redis.get(inside[1]));
  EXPECT_TRUE(redis.get(inside[0]));  // z12 not asked
  r = svc.post(box);
  EXPECT_EQ(nlohmann::json::parse(r.body)["data"]["deleted_count"], 1);
  EXPECT_FALSE(redis.get(inside[0]));
  for (const auto& k : outside) EXPECT_TRUE(redis.get(k)) << k;
}

TEST_F(AreaPurge, RefusesWhatItCannotRead) {
  for (const char* q : {"?bbox=1,2,3", "?bbox=a,b,c,d", "?bbox=1,2,3,4,5", "?bbox=200,0,201,1", "?bbox=0,0,1,1&srid=27700",
                        "?bbox=0,0,1,1&zooms=0-3", "?bbox=0,0,1,1&zooms=9-3", "?zooms=3", "?bbox=nan,0,1,1"})
    EXPECT_EQ(svc.post(std::string("/gis/cache/invalidate/plots") + q).status, 400u) << q;
  EXPECT_EQ(svc.post("/gis/cache/invalidate/nope?bbox=0,0,1,1").status, 404u);
  for (const auto& k : inside) EXPECT_TRUE(redis.get(k)) << k;
}

}  // namespace
}  // namespace tile_test
