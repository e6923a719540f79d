// The in-memory tile cache: byte bound, expiry with the Redis copy, a hot set kept under a scan.
#include <gtest/gtest.h>

#include <string>

#include "mapsvc/tile_gateway/memory_cache.hpp"

namespace {
using namespace std::chrono_literals;
using cache = mapsvc::tile_gateway::memory_cache<std::string>;
const auto t0 = cache::clock::time_point{} + 1h;

std::shared_ptr<const std::string> tile(std::size_t size, char fill = 'x') {
  return std::make_shared<const std::string>(size, fill);
}

TEST(MemoryCache, FindsReplacesExpiresAndErases) {
  cache c(1 << 20);
  c.insert("plots:15:1:2", tile(1000, 'a'), 1000, t0 + 10s);
  ASSERT_TRUE(c.find("plots:15:1:2", t0));
  EXPECT_EQ(c.find("plots:15:1:2", t0)->front(), 'a');
  c.insert("plots:15:1:2", tile(2000, 'b'), 2000, t0 + 10s);
  EXPECT_EQ(c.find("plots:15:1:2", t0)->front(), 'b');
  EXPECT_EQ(c.entries(), 1u);
  // Never outlives the Redis copy it came from.
  EXPECT_FALSE(c.find("plots:15:1:2", t0 + 10s));
  EXPECT_EQ(c.entries(), 0u);
  EXPECT_EQ(c.bytes(), 0u);
  c.insert("a", tile(10), 10, t0 + 1s);
  c.erase("a");
  EXPECT_FALSE(c.find("a", t0));
  c.insert("b", tile(10), 10, t0 + 1s);
  c.clear();
  EXPECT_EQ(c.bytes(), 0u);
  EXPECT_FALSE(c.find("b", t0));
}

TEST(MemoryCache, StaysWithinItsBytesAndSkipsHugeEntries) {
  cache c(100'000);
  for (int i = 0; i < 1000; ++i) {
    c.insert("k" + std::to_string(i), tile(5000), 5000, t0 + 1h);
    EXPECT_LE(c.bytes(), c.capacity());
  }
  EXPECT_GT(c.entries(), 10u);
  c.insert("huge", tile(20'000), 20'000, t0 + 1h);  // more than an eighth of the cache
  EXPECT_FALSE(c.find("huge", t0));
}

TEST(MemoryCache, KeepsTheHotSetThroughAScanOfColdTiles) {
  constexpr std::size_t tile_bytes = 50'000;
  cache c(200 * tile_bytes);  // room for about 200 tiles
  const auto key = [](const char* kind, int i) { return std::string(kind) + std::to_string(i); };
  // 100 tiles asked for again and again, while 20,000 others are asked for once: five cold
  // tiles arrive between two hot reads.
  for (int i = 0; i < 100; ++i) c.insert(key("hot", i), tile(tile_bytes), tile_bytes, t0 + 1h);
  int hot_hits = 0, hot_reads = 0;
  for (int cold = 0; cold < 20'000; ++cold) {
    c.insert(key("cold", cold), tile(tile_bytes), tile_bytes, t0 + 1h);
    if (cold % 5 != 4) continue;
    const int hot = (cold / 5) % 100;
    ++hot_reads;
    if (c.find(key("hot", hot), t0)) {
      ++hot_hits;
    } else {
      c.insert(key("hot", hot), tile(tile_bytes), tile_bytes, t0 + 1h);  // a miss refills it
    }
  }
  // 500 cold tiles pass between two reads of a hot one: a plain LRU of 200 would keep none.
  EXPECT_GT(hot_hits, hot_reads * 9 / 10) << hot_hits << " of " << hot_reads;
  EXPECT_LE(c.bytes(), c.capacity());
}

}  // namespace
