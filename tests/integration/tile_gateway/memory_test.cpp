// The worker's memory in front of Redis: hits without a Redis round trip, kept in step with
// every change made in Redis by anyone; concurrent misses sharing one statement; validators
// and gzip on tile answers.
#include <gtest/gtest.h>

#include <thread>

#include "support.hpp"
#include "test_support/wait.hpp"

namespace tile_test {
namespace {

constexpr std::size_t memory_bytes = 16 * 1024 * 1024;

std::string key_of(const std::string& layer, int z, std::int64_t x, std::int64_t y) {
  return "mvt_v8:" + layer + ":" + std::to_string(z) + ":" + std::to_string(x) + ":" + std::to_string(y);
}

// Changes reach memory over another connection: polled.
using test_support::eventually;

class MemoryCache : public ::testing::Test {
 protected:
  service_options with_memory() {
    service_options o;
    o.redis_host = "127.0.0.1";
    o.redis_port = redis_server.port();
    o.redis_db = 0;
    o.memory_cache_bytes = memory_bytes;
    return o;
  }
  bool in_memory(service& s, const std::string& cache_key) {
    return s.run([&]() -> boost::asio::awaitable<bool> { co_return s.module().memory->find(cache_key) != nullptr; }());
  }
  bool in_step(service& s) {
    return s.run([&]() -> boost::asio::awaitable<bool> { co_return s.module().memory->in_step(); }());
  }

  redis_child redis_server;
  redis_sync redis{"127.0.0.1", redis_server.port(), 0};
  const host::helpers::tile_address tile = data_tile();
  const std::string path = tile_path("plots", 15, tile.x, tile.y);
  const std::string cache_key = "plots:15:" + std::to_string(tile.x) + ":" + std::to_string(tile.y);
};

TEST_F(MemoryCache, RepeatedHitsNeedNoRedisRoundTrip) {
  service svc(with_memory());
  ASSERT_TRUE(eventually([&] { return in_step(svc); }));
  const auto built = svc.get(path);
  ASSERT_EQ(built.status, 200u);
  // Stored in Redis; the next hit reads it with its time to live and keeps it in memory.
  const auto from_redis = svc.get(path);
  EXPECT_EQ(from_redis.headers.at("x-cache"), "HIT");
  ASSERT_TRUE(eventually([&] { return in_memory(svc, cache_key); }));
  const auto gets_before = redis.calls_of("get");
  for (int i = 0; i < 5; ++i) {
    const auto hit = svc.get(path);
    EXPECT_EQ(hit.body, built.body);
    EXPECT_EQ(hit.headers.at("x-cache"), "HIT");  // the same headers as a Redis hit
    EXPECT_EQ(hit.headers.at("cache-control"), "public, max-age=1800");
  }
  EXPECT_EQ(redis.calls_of("get"), gets_before);
}

TEST_F(MemoryCache, AChangeMadeInRedisByAnyoneIsNeverServedStale) {
  service svc(with_memory());
  ASSERT_TRUE(eventually([&] { return in_step(svc); }));
  const auto built = svc.get(path);
  svc.get(path);
  ASSERT_TRUE(eventually([&] { return in_memory(svc, cache_key); }));

  // Overwritten from outside: the next answer has the new bytes.
  redis.command({"SET", key_of("plots", 15, tile.x, tile.y), "overwritten", "EX", "100"});
  EXPECT_TRUE(eventually([&] { return svc.get(path).body == "overwritten"; }));

  // Deleted: built again from the database.
  redis.command({"DEL", key_of("plots", 15, tile.x, tile.y)});
  EXPECT_TRUE(eventually([&] { return svc.get(path).body == built.body; }));

  // Expired: memory keeps nothing longer than Redis does.
  redis.command({"SET", key_of("plots", 15, tile.x, tile.y), "short-lived", "PX", "400"});
  EXPECT_TRUE(eventually([&] { return svc.get(path).body == "short-lived"; }));
  svc.get(path);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(svc.get(path).body, built.body);
}

TEST_F(MemoryCache, AnotherProcessInvalidatingEvictsThisOnesEntries) {
  service first(with_memory()), second(with_memory());
  ASSERT_TRUE(eventually([&] { return in_step(first) && in_step(second); }));
  first.get(path);
  first.get(path);
  ASSERT_TRUE(eventually([&] { return in_memory(first, cache_key); }));
  ASSERT_EQ(second.post("/gis/cache/invalidate/plots").status, 200u);
  EXPECT_TRUE(eventually([&] { return !in_memory(first, cache_key); }));
  EXPECT_TRUE(redis.keys("mvt_v8:plots:*").empty());  // invalidation still counts Redis keys
}

TEST_F(MemoryCache, LosingTheTrackingConnectionEmptiesMemoryUntilItIsBack) {
  service svc(with_memory());
  ASSERT_TRUE(eventually([&] { return in_step(svc); }));
  const auto built = svc.get(path);
  svc.get(path);
  ASSERT_TRUE(eventually([&] { return in_memory(svc, cache_key); }));
  redis.command({"CLIENT", "KILL", "TYPE", "pubsub"});
  // Emptied at once; back in step after a reconnect, and answers stay right throughout.
  EXPECT_TRUE(eventually([&] { return !in_memory(svc, cache_key); }));
  EXPECT_EQ(svc.get(path).body, built.body);
  EXPECT_TRUE(eventually([&] { return in_step(svc); }));
  svc.get(path);
  EXPECT_TRUE(eventually([&] { return in_memory(svc, cache_key); }));
}

// A Redis that stalls cannot report changes either: once one read has missed its bound,
// memory is not trusted until Redis answers again (not only once the tracking connection's
// pings go unanswered, seconds later).
TEST_F(MemoryCache, MemoryIsNotUsedOnceARedisReadMissedItsBound) {
  service svc(with_memory());
  ASSERT_TRUE(eventually([&] { return in_step(svc); }));
  svc.get(path);
  ASSERT_EQ(svc.get(path).headers.at("x-cache"), "HIT");
  ASSERT_TRUE(eventually([&] { return in_memory(svc, cache_key); }));

  redis_server.pause();
  // Another tile misses memory and waits for Redis until its bound.
  EXPECT_FALSE(svc.get(tile_path("plots", 15, tile.x + 1, tile.y)).has("x-cache"));
  // The tile memory still holds is built from the database instead of served from memory.
  const auto after = svc.get(path);
  EXPECT_EQ(after.status, 200u);
  EXPECT_FALSE(after.has("x-cache"));
  redis_server.resume();
}

// Eight clients miss the same tile while the table is locked: one statement waits on the
// lock, the others wait for it, and all get its bytes.
TEST(Coalescing, ConcurrentMissesOfOneTileRunOneStatement) {
  redis_sync shared{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  shared.flushdb();
  service svc;
  const auto t = data_tile();
  const auto path = tile_path("plots", 15, t.x, t.y);
  pg_admin locker(fixture_db::url()), observer(fixture_db::url());
  locker.exec("BEGIN");
  locker.exec("LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE");
  std::vector<std::thread> clients;
  std::vector<http_reply> replies(8);
  for (std::size_t i = 0; i < replies.size(); ++i) clients.emplace_back([&, i] { replies[i] = svc.get(path); });
  const auto waiting = [&] {
    return std::stoi(observer.exec("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                                   "AND query LIKE '%ST_AsMVT%'")[0]);
  };
  ASSERT_TRUE(eventually([&] { return waiting() >= 1; }));
  std::this_thread::sleep_for(300ms);  // time for any further statement to arrive
  EXPECT_EQ(waiting(), 1);
  locker.exec("COMMIT");
  for (auto& c : clients) c.join();
  for (const auto& r : replies) {
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, replies[0].body);
  }
}

TEST(TileValidators, EtagGzipAndConditionalRequests) {
  redis_sync shared{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
  shared.flushdb();
  service svc;
  const auto t = data_tile();
  const auto path = tile_path("plots", 15, t.x, t.y);
  const auto miss = svc.get(path);
  ASSERT_EQ(miss.status, 200u);
  const std::string etag = miss.headers.at("etag");
  EXPECT_EQ(miss.headers.at("vary"), "Accept-Encoding");
  const auto hit = svc.get(path);
  EXPECT_EQ(hit.headers.at("etag"), etag);  // the same bytes, the same tag, hit or miss

  const auto not_modified = svc.request("GET", path, {{"If-None-Match", "\"other\", W/" + etag}});
  EXPECT_EQ(not_modified.status, 304u);
  EXPECT_TRUE(not_modified.body.empty());
  EXPECT_EQ(not_modified.headers.at("etag"), etag);
  EXPECT_EQ(not_modified.headers.at("cache-control"), "public, max-age=1800");
  EXPECT_EQ(svc.request("GET", path, {{"If-None-Match", "*"}}).status, 304u);
  EXPECT_EQ(svc.request("GET", path, {{"If-None-Match", "\"stale\""}}).status, 200u);

  const auto zipped = svc.request("GET", path, {{"Accept-Encoding", "br, gzip"}});
  EXPECT_EQ(zipped.headers.at("content-encoding"), "gzip");
  EXPECT_LT(zipped.body.size(), miss.body.size());
  EXPECT_NE(zipped.headers.at("etag"), etag);
  EXPECT_EQ(svc.request("GET", path, {{"Accept-Encoding", "gzip;q=0, br"}}).body, miss.body);
  EXPECT_EQ(svc.request("GET", path, {{"Accept-Encoding", "gzip"}, {"If-None-Match", zipped.headers.at("etag")}}).status,
            304u);

  // HEAD says what GET would send.
  const auto head = svc.request("HEAD", path, {{"Accept-Encoding", "gzip"}});
  EXPECT_EQ(head.headers.at("content-length"), std::to_string(zipped.body.size()));
  EXPECT_EQ(head.headers.at("etag"), zipped.headers.at("etag"));

  // Box tiles carry them too.
  const auto box = svc.get("/gis/plots/bbox/?minx=7.48&miny=9.04&maxx=7.50&maxy=9.06");
  ASSERT_EQ(box.status, 200u);
  EXPECT_EQ(box.headers.at("etag").size(), 18u);
}

}  // namespace
}  // namespace tile_test
