// How a cluster client picks its node: key slots, the slot map from CLUSTER SLOTS,
// redirections, and the host:port lists of the settings.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "cluster_map.hpp"

namespace redis = clients::redis;
using redis::address;
using redis::reply;
using redis::reply_type;
using redis::detail::key_slot;
using redis::detail::parse_redirect;
using redis::detail::slot_map;

namespace {

reply text(std::string s) { return reply{reply_type::string, std::move(s), 0, {}}; }
reply integer(std::int64_t v) { return reply{reply_type::integer, {}, v, {}}; }
reply array(std::vector<reply> e) { return reply{reply_type::array, {}, 0, std::move(e)}; }
reply range(std::int64_t from, std::int64_t to, std::string host, int port) {
  return array({integer(from), integer(to), array({text(std::move(host)), integer(port), text("id")}),
                array({text("127.0.0.1"), integer(port + 100), text("replica-id")})});
}

}  // namespace

TEST(KeySlot, MatchesTheClusterHashAndItsTags) {
  // Values a Redis Cluster itself reports (CLUSTER KEYSLOT).
  EXPECT_EQ(key_slot("foo"), 12182);
  EXPECT_EQ(key_slot("bar"), 5061);
  EXPECT_EQ(key_slot("123456789"), 0x31C3 % 16384);
  EXPECT_EQ(key_slot(""), 0);
  // A hash tag decides the slot; an empty tag or an unclosed brace does not count as one.
  EXPECT_EQ(key_slot("{user1000}.following"), key_slot("user1000"));
  EXPECT_EQ(key_slot("a{b}{c}"), key_slot("b"));
  EXPECT_NE(key_slot("foo{}{bar}"), key_slot("bar"));
  EXPECT_EQ(key_slot("foo{{bar}}zap"), key_slot("{bar"));
  EXPECT_NE(key_slot("foo{bar"), key_slot("bar"));
  // Binary keys are hashed byte for byte.
  EXPECT_LT(key_slot(std::string("\xff\x00\x80", 3)), 16384);
}

TEST(SlotMap, ReadsClusterSlotsAndServesEverySlot) {
  const address asked{"10.0.0.9", 7000};
  const auto map = slot_map::from_cluster_slots(
      array({range(0, 5460, "127.0.0.1", 7001), range(5461, 10922, "", 7002), range(10923, 16383, "127.0.0.1", 7003)}),
      asked);
  EXPECT_EQ(*map.primary_of(0), (address{"127.0.0.1", 7001}));
  EXPECT_EQ(*map.primary_of(5460), (address{"127.0.0.1", 7001}));
  // An empty host is the node that answered.
  EXPECT_EQ(*map.primary_of(5461), (address{"10.0.0.9", 7002}));
  EXPECT_EQ(*map.primary_of(16383), (address{"127.0.0.1", 7003}));
  const std::vector<address> primaries{{"10.0.0.9", 7002}, {"127.0.0.1", 7001}, {"127.0.0.1", 7003}};
  EXPECT_EQ(map.primaries(), primaries);
}

TEST(SlotMap, FollowsMovesAndKnowsUnservedSlots) {
  auto map = slot_map::from_cluster_slots(array({range(0, 99, "127.0.0.1", 7001), range(200, 16383, "127.0.0.1", 7002)}),
                                          address{"127.0.0.1", 7001});
  EXPECT_EQ(map.primary_of(150), nullptr);
  map.move(150, address{"127.0.0.1", 7003});
  EXPECT_EQ(*map.primary_of(150), (address{"127.0.0.1", 7003}));
  // Every slot of 7001 moved away: it is no longer a primary.
  for (std::uint16_t slot = 0; slot < 100; ++slot) map.move(slot, address{"127.0.0.1", 7002});
  const std::vector<address> primaries{{"127.0.0.1", 7002}, {"127.0.0.1", 7003}};
  EXPECT_EQ(map.primaries(), primaries);
}

TEST(SlotMap, RefusesWhatIsNotASlotMap) {
  const address asked{"127.0.0.1", 7000};
  EXPECT_THROW(slot_map::from_cluster_slots(array({}), asked), std::runtime_error);
  EXPECT_THROW(slot_map::from_cluster_slots(text("ERR This instance has cluster support disabled"), asked),
               std::runtime_error);
  EXPECT_THROW(slot_map::from_cluster_slots(array({range(0, 16384, "h", 1)}), asked), std::runtime_error);
  EXPECT_THROW(slot_map::from_cluster_slots(array({range(10, 5, "h", 1)}), asked), std::runtime_error);
  EXPECT_THROW(slot_map::from_cluster_slots(array({range(0, 5, "h", 0)}), asked), std::runtime_error);
  EXPECT_THROW(slot_map::from_cluster_slots(array({array({integer(0), integer(5)})}), asked), std::runtime_error);
}

TEST(Redirect, ReadsMovedAndAsk) {
  const address asked{"10.0.0.1", 7000};
  const auto moved = parse_redirect("MOVED 3999 127.0.0.1:6381", asked);
  ASSERT_TRUE(moved);
  EXPECT_FALSE(moved->ask);
  EXPECT_EQ(moved->slot, 3999);
  EXPECT_EQ(moved->to, (address{"127.0.0.1", 6381}));
  const auto ask = parse_redirect("ASK 12 [::1]:7002", asked);
  ASSERT_TRUE(ask);
  EXPECT_TRUE(ask->ask);
  EXPECT_EQ(ask->to, (address{"::1", 7002}));
  // A node that does not know its own address names only the port.
  EXPECT_EQ(parse_redirect("MOVED 1 :7005", asked)->to, (address{"10.0.0.1", 7005}));
  for (const char* other : {"ERR unknown command", "MOVED", "MOVED 16384 h:1", "MOVED 1 h", "MOVED 1 h:0",
                            "MOVED x h:1", "ASK 1 h:99999", "READONLY You can't write against a read only replica."})
    EXPECT_FALSE(parse_redirect(other, asked)) << other;
}

TEST(AddressList, ReadsHostPortListsAndNamesTheBadEntry) {
  const std::vector<address> parsed{{"127.0.0.1", 7001}, {"redis-b.internal", 7002}, {"::1", 7003}};
  EXPECT_EQ(redis::parse_address_list("127.0.0.1:7001, redis-b.internal:7002,[::1]:7003"), parsed);
  for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", ":7001", "h:0", "h:65536", "h:7001x", "::1:7001", "a:1,,b:2",
                          "[::1:7001"}) {
    try {
      redis::parse_address_list(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("host:port"), std::string::npos) << e.what();
    }
  }
}
