// Commands against the shared server: bytes in equal bytes out, expiry, counts, SCAN, SELECT.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support.hpp"

using namespace redis_test;
using namespace std::string_literals;

namespace {

class SharedServer : public ::testing::Test {
 protected:
  void TearDown() override {
    std::vector<std::string> del{"DEL"};
    for (auto& k : keys_) del.push_back(k);
    if (del.size() > 1) run(ioc, client.command(del));
  }
  std::string key(const std::string& name) { return keys_.emplace_back(prefix + name); }

  asio::io_context ioc;
  redis::client client{ioc.get_executor(), shared_server()};
  std::string prefix = unique_prefix();

 private:
  std::vector<std::string> keys_;
};

std::string all_bytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

std::string mebibytes(std::size_t n) {
  std::string s(n << 20, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + (i >> 12));
  return s;
}

}  // namespace

TEST_F(SharedServer, BinaryKeysAndValuesRoundTripExactly) {
  const std::vector<std::string> values{"a\0b\0"s, "\r\n$3\r\n*1\r\n:0\r\n"s, all_bytes(), mebibytes(1), mebibytes(5)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string k = key("bin\0\r\n\xff"s + std::to_string(i));
    run(ioc, client.set(k, values[i]));
    EXPECT_EQ(run(ioc, client.get(k)), values[i]) << "value #" << i;
  }
}

TEST_F(SharedServer, EmptyValueIsPresentAndMissingKeyIsAbsent) {
  const std::string empty = key("empty");
  run(ioc, client.set(empty, ""));
  const auto got = run(ioc, client.get(empty));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, "");
  EXPECT_FALSE(run(ioc, client.get(key("never-set"))).has_value());
}

TEST_F(SharedServer, SetExSetsTheTtlAndDelCountsRemovedKeys) {
  const std::string k = key("ttl");
  run(ioc, client.set(k, "v", 100));
  const auto ttl = run(ioc, client.command({"TTL", k}));
  EXPECT_GT(ttl.integer, 0);
  EXPECT_LE(ttl.integer, 100);
  run(ioc, client.set(k, "w"));  // a plain SET clears the expiry
  EXPECT_EQ(run(ioc, client.command({"TTL", k})).integer, -1);
  EXPECT_EQ(run(ioc, client.del(k)), 1);
  EXPECT_EQ(run(ioc, client.del(k)), 0);
}

TEST_F(SharedServer, ErrorRepliesThrowAndLeaveTheConnectionUsable) {
  const std::string list = key("list");
  run(ioc, client.command({"RPUSH", list, "x"}));
  try {
    run(ioc, client.get(list));
    FAIL() << "GET of a list succeeded";
  } catch (const redis::reply_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("WRONGTYPE", 0), 0u) << e.what();
  }
  EXPECT_THROW(run(ioc, client.set(key("bad-ttl"), "v", 0)), redis::reply_error);
  const auto unknown = run(ioc, client.command({"NO-SUCH-COMMAND"}));
  EXPECT_EQ(unknown.type, redis::reply_type::error);
  EXPECT_EQ(run(ioc, client.command({"PING"})).str, "PONG");
}

asio::awaitable<std::multiset<std::string>> scan_all(redis::client& c, std::string match) {
  std::multiset<std::string> seen;
  auto it = c.scan_iter(std::move(match), 100);
  while (auto k = co_await it.next()) seen.insert(std::move(*k));
  co_return seen;
}

TEST_F(SharedServer, ScanIterSeesEveryMatchingKeyOnce) {
  std::set<std::string> wanted;
  std::vector<std::string> mset{"MSET"};
  for (int i = 0; i < 3000; ++i) {
    wanted.insert(key("scan:" + std::to_string(i)));
    mset.insert(mset.end(), {prefix + "scan:" + std::to_string(i), "v"});
  }
  for (int i = 0; i < 200; ++i) mset.insert(mset.end(), {key("other:" + std::to_string(i)), "v"});
  run(ioc, client.command(mset));

  const auto seen = run(ioc, scan_all(client, prefix + "scan:*"));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), wanted);
  EXPECT_GE(seen.size(), wanted.size());  // SCAN may repeat a key, never drop one

  const auto page = run(ioc, client.scan("0", prefix + "nothing:*", 10));
  EXPECT_TRUE(page.keys.empty());
  EXPECT_FALSE(page.cursor.empty());
}

TEST_F(SharedServer, SelectsTheConfiguredDatabase) {
  auto in_db3 = shared_server();
  in_db3.db = 3;
  redis::client db3(ioc.get_executor(), in_db3);
  const std::string k = prefix + "db3";
  run(ioc, db3.set(k, "three", 60));
  EXPECT_FALSE(run(ioc, client.get(k)).has_value());
  EXPECT_EQ(run(ioc, db3.get(k)), "three");
  EXPECT_EQ(run(ioc, db3.del(k)), 1);

  auto bad = shared_server();
  bad.db = 100000;
  redis::client out_of_range(ioc.get_executor(), bad);
  EXPECT_THROW(run(ioc, out_of_range.get(k)), redis::connection_error);
}
