// Commands against the shared server: bytes in equal bytes out, expiry, errors, SCAN, and
// many callers sharing one client.
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
    if (del_.size() > 1) run(ioc, client.command(del_));
  }
  std::string key(const std::string& name) { return del_.emplace_back(prefix + name); }

  asio::io_context ioc;
  redis::client client{ioc.get_executor(), shared_server()};
  std::string prefix = unique_prefix();

 private:
  std::vector<std::string> del_{"DEL"};
};

}  // namespace

TEST_F(SharedServer, BinaryKeysAndValuesRoundTripExactly) {
  std::string every, mib(1 << 20, '\0');
  for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i));
  for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i * 7 + (i >> 12));
  const std::vector<std::string> values{"a\0b\0"s, "\r\n$3\r\n*1\r\n:0\r\n"s, every, mib};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string k = key("bin\0\r\n\xff"s + std::to_string(i));
    run(ioc, client.set(k, values[i]));
    EXPECT_EQ(run(ioc, client.get(k)), values[i]) << "value #" << i;
  }
  // An empty value is present; a key never set is absent.
  const std::string empty = key("empty");
  run(ioc, client.set(empty, ""));
  EXPECT_EQ(run(ioc, client.get(empty)), std::optional<std::string>(""));
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

  // Several at once: one reply per key, in the keys' order, whether or not the key was there.
  const std::string a = key("a"), b = key("b");
  run(ioc, client.set(a, "1"));
  run(ioc, client.set(b, "2"));
  const auto replies = run(ioc, client.del_each({a, k, b, a}));
  ASSERT_EQ(replies.size(), 4u);
  const std::int64_t expected[] = {1, 0, 1, 0};
  for (std::size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].type, redis::reply_type::integer);
    EXPECT_EQ(replies[i].integer, expected[i]) << i;
  }
  EXPECT_TRUE(run(ioc, client.del_each({})).empty());
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
  EXPECT_EQ(run(ioc, client.command({"NO-SUCH-COMMAND"})).type, redis::reply_type::error);
  EXPECT_EQ(run(ioc, client.command({"PING"})).str, "PONG");

  // A database the server refuses to SELECT fails the connection, not just the call.
  auto bad = shared_server();
  bad.db = 100000;
  redis::client out_of_range(ioc.get_executor(), bad);
  EXPECT_THROW(run(ioc, out_of_range.get(list)), redis::connection_error);
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
  for (int i = 0; i < 3000; ++i) mset.insert(mset.end(), {*wanted.insert(key("scan:" + std::to_string(i))).first, "v"});
  for (int i = 0; i < 200; ++i) mset.insert(mset.end(), {key("other:" + std::to_string(i)), "v"});
  run(ioc, client.command(mset));

  const auto seen = run(ioc, scan_all(client, prefix + "scan:*"));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), wanted);
  EXPECT_GE(seen.size(), wanted.size());  // SCAN may repeat a key, never drop one

  EXPECT_TRUE(run(ioc, scan_all(client, prefix + "nothing:*")).empty());
}

asio::awaitable<bool> get_expect(redis::client& c, std::string key, std::string want) {
  co_return co_await c.get(key) == want;
}

TEST_F(SharedServer, EachOfAThousandConcurrentGetsReceivesItsOwnValue) {
  constexpr int n = 1000;
  // Lengths differ so that a shifted reply cannot pass for the right one.
  auto value = [](int i) { return std::string(static_cast<std::size_t>(i % 97), 'x') + std::to_string(i); };
  std::vector<std::string> mset{"MSET"};
  for (int i = 0; i < n; ++i) mset.insert(mset.end(), {key(std::to_string(i)), value(i)});
  run(ioc, client.command(mset));

  for (int connections : {1, 2}) {
    auto opts = shared_server();
    opts.connections = connections;
    redis::client shared(ioc.get_executor(), opts);
    std::vector<std::future<bool>> results;
    for (int i = 0; i < n; ++i) results.push_back(spawn(ioc, get_expect(shared, prefix + std::to_string(i), value(i))));
    int right = 0;
    for (auto& r : results) right += wait_for(ioc, r) ? 1 : 0;
    EXPECT_EQ(right, n) << connections << " connection(s)";
  }
}
