// The client against a real Redis Cluster of three primaries (each command on the node of its
// key's slot, redirections while a slot moves, SCAN over every primary, invalidations from
// every primary) and against a Sentinel-watched primary that fails over (the client and the
// invalidation listener follow it).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "cluster_map.hpp"
#include "support.hpp"

using namespace redis_test;

namespace {

std::string status_of(asio::io_context& ioc, redis::client& c, std::vector<std::string> args) {
  const auto r = run(ioc, c.command(std::move(args)));
  if (r.is_error()) throw std::runtime_error(r.str);
  return r.str;
}

// Three primaries splitting the slots in thirds, without replicas.
class RedisCluster : public ::testing::Test {
 protected:
  static constexpr int size = 3;

  void SetUp() override {
    for (int i = 0; i < size; ++i) {
      const std::string conf = "/tmp/mapsvc-cluster-test-" + std::to_string(::getpid()) + "-" + std::to_string(i) + ".nodes";
      std::remove(conf.c_str());
      bus_ports_.push_back(free_port());
      nodes_.push_back(std::make_unique<redis_child>(std::vector<std::string>{
          "--cluster-enabled", "yes", "--cluster-config-file", conf, "--cluster-node-timeout", "1000",
          // The bus port would be the client port + 10000, beyond 65535 for a high free port.
          "--cluster-port", std::to_string(bus_ports_.back())}));
      admins_.push_back(std::make_unique<redis::client>(ioc_.get_executor(), nodes_.back()->options()));
    }
    const int first[size] = {0, 5461, 10923}, last[size] = {5460, 10922, 16383};
    for (int i = 0; i < size; ++i) {
      ids_.push_back(run(ioc_, admins_[i]->command({"CLUSTER", "MYID"})).str);
      status_of(ioc_, *admins_[i], {"CLUSTER", "ADDSLOTSRANGE", std::to_string(first[i]), std::to_string(last[i])});
      if (i > 0)
        status_of(ioc_, *admins_[i], {"CLUSTER", "MEET", "127.0.0.1", std::to_string(nodes_[0]->port()),
                                      std::to_string(bus_ports_[0])});
    }
    for (int tries = 0;; ++tries) {
      bool ok = true;
      for (auto& a : admins_) ok = ok && run(ioc_, a->command({"CLUSTER", "INFO"})).str.find("cluster_state:ok") != std::string::npos;
      if (ok) break;
      if (tries > 300) FAIL() << "the cluster did not come up";
      std::this_thread::sleep_for(50ms);
    }
  }

  // A client that knows only the first node, as a configuration would.
  redis::options seeded() const {
    redis::options o;
    o.cluster_nodes = {redis::address{"127.0.0.1", nodes_[0]->port()}};
    o.connect_timeout = 2s;
    return o;
  }

  int owner_of(std::string_view key) const {
    const auto slot = redis::detail::key_slot(key);
    return slot <= 5460 ? 0 : slot <= 10922 ? 1 : 2;
  }

  asio::io_context ioc_;
  std::vector<std::unique_ptr<redis_child>> nodes_;
  std::vector<std::unique_ptr<redis::client>> admins_;
  std::vector<std::string> ids_;
  std::vector<int> bus_ports_;
};

TEST_F(RedisCluster, KeysLiveOnTheirSlotsNodeAndScanSeesEveryPrimary) {
  redis::client c(ioc_.get_executor(), seeded());
  const std::string prefix = unique_prefix();
  int per_node[size] = {};
  for (int i = 0; i < 300; ++i) {
    const std::string key = prefix + std::to_string(i);
    run(ioc_, c.set(key, "v" + std::to_string(i)));
    ++per_node[owner_of(key)];
    // The node that owns the slot has it; the others were never asked to store it.
    EXPECT_EQ(run(ioc_, admins_[owner_of(key)]->command({"EXISTS", key})).integer, 1);
  }
  for (int n : per_node) EXPECT_GT(n, 50);
  EXPECT_EQ(run(ioc_, c.get(prefix + "7")), "v7");
  EXPECT_EQ(run(ioc_, c.get_with_ttl(prefix + "8")).value, "v8");

  std::set<std::string> seen;
  auto keys = c.scan_iter(prefix + "*", 25);
  while (auto key = run(ioc_, keys.next())) seen.insert(*key);
  EXPECT_EQ(seen.size(), 300u);
  // Half one by one, half in one call spread over every node's slots.
  std::vector<std::string> together;
  for (const auto& key : seen) {
    if (together.size() < 150) together.push_back(key);
    else EXPECT_EQ(run(ioc_, c.del(key)), 1);
  }
  const auto replies = run(ioc_, c.del_each(together));
  ASSERT_EQ(replies.size(), together.size());
  for (const auto& r : replies) EXPECT_EQ(r.integer, 1);
  for (auto& a : admins_) EXPECT_EQ(run(ioc_, a->command({"DBSIZE"})).integer, 0);
}

TEST_F(RedisCluster, FollowsASlotThatMovesWhileInUse) {
  redis::client c(ioc_.get_executor(), seeded());
  // Two keys of one slot on node 0.
  std::string tag;
  for (int i = 0; tag.empty() || owner_of("{" + tag + "}") != 0; ++i) tag = "t" + std::to_string(i);
  const std::string moved_key = "{" + tag + "}moved", staying_key = "{" + tag + "}staying";
  const std::string slot = std::to_string(redis::detail::key_slot(moved_key));
  run(ioc_, c.set(moved_key, "one"));
  run(ioc_, c.set(staying_key, "two"));

  // Half-way through a migration to node 1: one key moved, the other not yet (ASK).
  status_of(ioc_, *admins_[1], {"CLUSTER", "SETSLOT", slot, "IMPORTING", ids_[0]});
  status_of(ioc_, *admins_[0], {"CLUSTER", "SETSLOT", slot, "MIGRATING", ids_[1]});
  status_of(ioc_, *admins_[0], {"MIGRATE", "127.0.0.1", std::to_string(nodes_[1]->port()), "", "0", "5000", "KEYS", moved_key});
  EXPECT_EQ(run(ioc_, c.get(moved_key)), "one");
  EXPECT_EQ(run(ioc_, c.get(staying_key)), "two");

  // Finished: the slot is node 1's (MOVED), and writes go there.
  status_of(ioc_, *admins_[0], {"MIGRATE", "127.0.0.1", std::to_string(nodes_[1]->port()), "", "0", "5000", "KEYS", staying_key});
  for (auto& a : admins_) status_of(ioc_, *a, {"CLUSTER", "SETSLOT", slot, "NODE", ids_[1]});
  EXPECT_EQ(run(ioc_, c.get(moved_key)), "one");
  run(ioc_, c.set("{" + tag + "}new", "three"));
  EXPECT_EQ(run(ioc_, admins_[1]->command({"GET", "{" + tag + "}new"})).str, "three");
  EXPECT_EQ(run(ioc_, c.get_with_ttl(staying_key)).value, "two");
}

TEST_F(RedisCluster, InvalidationsArriveFromEveryPrimary) {
  const std::string prefix = unique_prefix();
  reports seen;
  auto listener = listen(ioc_, seeded(), prefix, seen, 1000ms);
  ASSERT_TRUE(until(ioc_, [&] { return seen.on(); }));
  redis::client c(ioc_.get_executor(), seeded());
  std::set<std::string> written;
  for (int i = 0; i < 30; ++i) {
    written.insert(prefix + std::to_string(i));
    run(ioc_, c.set(prefix + std::to_string(i), "x"));
  }
  EXPECT_TRUE(until(ioc_, [&] { return seen.keys == written; }));

  // A primary gone: the cluster is no longer fully tracked.
  nodes_[2]->kill();
  EXPECT_TRUE(until(ioc_, [&] { return !seen.on(); }));
}

// A primary with a replica is killed: the replica takes its slots over, the client's calls find
// it (after failing while no primary serves the slots) and the invalidation listener, which
// lost tracking with the primary, tracks the new one.
TEST_F(RedisCluster, APrimaryKilledIsReplacedByItsReplicaForCallsAndInvalidations) {
  const std::string conf = "/tmp/mapsvc-cluster-test-" + std::to_string(::getpid()) + "-replica.nodes";
  std::remove(conf.c_str());
  bus_ports_.push_back(free_port());
  redis_child replica({"--cluster-enabled", "yes", "--cluster-config-file", conf, "--cluster-node-timeout", "1000",
                       "--cluster-port", std::to_string(bus_ports_.back())});
  redis::client replica_admin(ioc_.get_executor(), replica.options());
  status_of(ioc_, replica_admin, {"CLUSTER", "MEET", "127.0.0.1", std::to_string(nodes_[0]->port()),
                                  std::to_string(bus_ports_[0])});
  for (int tries = 0;; ++tries) {
    const auto r = run(ioc_, replica_admin.command({"CLUSTER", "REPLICATE", ids_[2]}));
    if (!r.is_error()) break;  // until the replica has heard of node 2
    ASSERT_LT(tries, 200) << r.str;
    std::this_thread::sleep_for(50ms);
  }
  for (int tries = 0; run(ioc_, replica_admin.command({"INFO", "replication"})).str.find("master_link_status:up") ==
                      std::string::npos;
       ++tries) {
    ASSERT_LT(tries, 200) << "the replica did not catch up";
    std::this_thread::sleep_for(50ms);
  }

  const std::string prefix = unique_prefix();
  reports seen;
  auto listener = listen(ioc_, seeded(), prefix, seen, 200ms);
  ASSERT_TRUE(until(ioc_, [&] { return seen.on(); }));
  redis::client c(ioc_.get_executor(), seeded());
  std::string key;
  for (int i = 0; key.empty() || owner_of(key) != 2; ++i) key = prefix + std::to_string(i);
  run(ioc_, c.set(key, "before"));

  nodes_[2]->kill();
  ASSERT_TRUE(write_once_accepted(ioc_, c, key, "after")) << "no write reached the promoted replica within 15 s";
  EXPECT_EQ(run(ioc_, replica_admin.command({"GET", key})).str, "after");
  EXPECT_TRUE(std::find(seen.tracking.begin(), seen.tracking.end(), false) != seen.tracking.end());
  ASSERT_TRUE(until(ioc_, [&] { return seen.on(); }, 300));
  const std::string later = key + ":later";
  run(ioc_, c.set(later, "x"));
  EXPECT_TRUE(until(ioc_, [&] { return seen.keys.count(later) == 1; }));
  std::remove(conf.c_str());
}

// One primary, its replica and one sentinel that fails over quickly.
TEST(RedisSentinel, TheClientFollowsTheFailover) {
  asio::io_context ioc;
  redis_child primary;
  redis_child replica({"--replicaof", "127.0.0.1", std::to_string(primary.port())});
  const std::string conf = "/tmp/mapsvc-sentinel-test-" + std::to_string(::getpid()) + ".conf";
  {
    std::ofstream out(conf);
    out << "sentinel monitor tiles 127.0.0.1 " << primary.port() << " 1\n"
        << "sentinel down-after-milliseconds tiles 500\n"
        << "sentinel failover-timeout tiles 3000\n";
  }
  redis_child sentinel({conf, "--sentinel"});

  redis::options o;
  o.sentinels = {redis::address{"127.0.0.1", free_port()}, redis::address{"127.0.0.1", sentinel.port()}};
  o.sentinel_master = "tiles";
  o.connect_timeout = 3s;
  redis::client c(ioc.get_executor(), o);
  const std::string prefix = unique_prefix();
  const std::string key = prefix + "k";
  reports seen;
  auto listener = listen(ioc, o, prefix, seen, 200ms);
  // The first sentinel listed is not there: the next one answers.
  run(ioc, c.set(key, "before"));
  EXPECT_EQ(run(ioc, c.get(key)), "before");
  ASSERT_TRUE(until(ioc, [&] { return seen.on(); }));

  primary.kill();
  // Calls fail while there is no primary, then find the promoted replica through the sentinel.
  ASSERT_TRUE(write_once_accepted(ioc, c, key, "after")) << "no write succeeded within 15 s of the primary's loss";
  redis::client on_replica(ioc.get_executor(), replica.options());
  EXPECT_EQ(run(ioc, on_replica.get(key)), "after");
  // The listener lost the old primary and tracks the new one: its changes are reported.
  ASSERT_TRUE(until(ioc, [&] { return seen.tracking.size() >= 3 && seen.on(); }));
  run(ioc, c.set(prefix + "on-the-new-primary", "x"));
  EXPECT_TRUE(until(ioc, [&] { return seen.keys.count(prefix + "on-the-new-primary") == 1; }));
  std::remove(conf.c_str());
}

}  // namespace
