#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mapsvc/tile_gateway/banner.hpp"
#include "mapsvc/tile_gateway/errors.hpp"
#include "mapsvc/tile_gateway/redis_settings.hpp"

namespace tg = mapsvc::tile_gateway;

namespace {

// A stand-in environment: unset variables are absent from the map.
host::env_lookup fake_env(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

}  // namespace

TEST(Banner, DefaultsWhenNothingIsSet) {
  const tg::redis_settings s = tg::read_redis_settings(fake_env({}));
  EXPECT_EQ(s.host, "localhost");
  EXPECT_EQ(s.port, 6379);
  EXPECT_EQ(s.db, 0);
  EXPECT_EQ(tg::banner_text(s),
            "\u2713 Binary Redis cache initialized (no UTF-8 decoding)\n"
            "  - Namespace: mvt_v8\n"
            "  - Redis: localhost:6379/0\n"
            "  - decode_responses: False (handles binary data)\n");
}

TEST(Banner, ShowsOverriddenSettingsAsConverted) {
  const auto s = tg::read_redis_settings(fake_env({{"REDIS_HOST", "cache.internal"}, {"REDIS_PORT", " +06380\n"},
                                                   {"REDIS_DB", "1_5"}}));
  EXPECT_EQ(tg::banner_text(s).substr(tg::banner_text(s).find("  - Redis: ")),
            "  - Redis: cache.internal:6380/15\n  - decode_responses: False (handles binary data)\n");
  EXPECT_EQ(tg::read_redis_settings(fake_env({{"REDIS_PORT", "6380"}})).port, 6380);
  EXPECT_EQ(tg::read_redis_settings(fake_env({{"REDIS_HOST", ""}})).host, "") << "set but empty is not unset";
}

// Refused at load, as std::invalid_argument naming the variable and its range: a port or
// database number the server cannot use would otherwise fail every cache call later.
TEST(RedisSettings, RefusesNumbersOutsideTheirRangeNamingTheVariable) {
  const auto message_of = [](const char* name, const char* value) -> std::string {
    try {
      tg::read_redis_settings(fake_env({{name, value}}));
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(dynamic_cast<const tg::invalid_setting*>(&e), nullptr) << e.what();
      return e.what();
    }
    return "accepted";
  };
  const std::string PORT = "REDIS_PORT must be a whole number from 1 to 65535, got ";
  const std::string DB = "REDIS_DB must be a whole number from 0 to 2147483647, got ";
  const std::pair<std::pair<const char*, const char*>, std::string> cases[] = {
      {{"REDIS_PORT", "70000"}, PORT + "'70000'"},
      {{"REDIS_PORT", "65536"}, PORT + "'65536'"},
      {{"REDIS_PORT", "0"}, PORT + "'0'"},
      {{"REDIS_PORT", "-6379"}, PORT + "'-6379'"},
      {{"REDIS_PORT", "99999999999"}, PORT + "'99999999999'"},
      {{"REDIS_PORT", "99999999999999999999999"}, PORT + "'99999999999999999999999'"},  // beyond 64 bits
      {{"REDIS_PORT", "63 79"}, PORT + "'63 79'"},
      {{"REDIS_PORT", "redis"}, PORT + "'redis'"},
      {{"REDIS_DB", "-1"}, DB + "'-1'"},
      {{"REDIS_DB", "2147483648"}, DB + "'2147483648'"},
      {{"REDIS_DB", ""}, DB + "''"},
      {{"REDIS_PORT", "1"}, "accepted"},
      {{"REDIS_PORT", "65535"}, "accepted"},
      {{"REDIS_DB", "2147483647"}, "accepted"}};
  for (const auto& [setting, expected] : cases)
    EXPECT_EQ(message_of(setting.first, setting.second), expected) << setting.first << "=" << setting.second;
}

TEST(PythonInt, AcceptsWhatIntAccepts) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {" 6380\n", 6380}, {"+0_1", 1}, {"-7", -7}, {"1_000", 1000}, {"007", 7}, {"\u00a06381\u3000", 6381},
      {"\x1c""5\x1f", 5}, {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(tg::parse_python_int(text), value) << text;
}

TEST(PythonInt, RefusesWhatIntRefuses) {
  for (const char* text : {"1__0", "_1", "1_", "", "  ", "+", "- 1", "0x10", "12a", "6379.0", "+-1", "1_a",
                           "99999999999999999999_"}) {
    try {
      tg::parse_python_int(text);
      ADD_FAILURE() << text;
    } catch (const tg::invalid_int_literal& e) {
      EXPECT_EQ(std::string(e.what()).rfind("invalid literal for int() with base 10: ", 0), 0u);
    }
  }
}

TEST(RedisDeployments, ClusterAndSentinelSettingsAreReadAndShown) {
  const auto cluster = tg::read_redis_settings(fake_env({{"REDIS_CLUSTER_NODES", " 127.0.0.1:7001,127.0.0.1:7002 "}}));
  ASSERT_EQ(cluster.cluster_nodes.size(), 2u);
  EXPECT_EQ(cluster.cluster_nodes[1].port, 7002);
  EXPECT_NE(tg::banner_text(cluster).find("  - Redis: Redis Cluster via 127.0.0.1:7001,127.0.0.1:7002\n"),
            std::string::npos);

  const auto sentinel = tg::read_redis_settings(
      fake_env({{"REDIS_SENTINELS", "s1:26379,s2:26379"}, {"REDIS_SENTINEL_MASTER", "tiles"}, {"REDIS_DB", "2"}}));
  EXPECT_EQ(sentinel.sentinels.size(), 2u);
  EXPECT_EQ(sentinel.sentinel_master, "tiles");
  EXPECT_NE(tg::banner_text(sentinel).find("primary 'tiles' via sentinels s1:26379,s2:26379/2"), std::string::npos);

  // Blank lists are as good as unset.
  EXPECT_TRUE(tg::read_redis_settings(fake_env({{"REDIS_CLUSTER_NODES", "  "}})).cluster_nodes.empty());
}

TEST(RedisDeployments, ContradictionsAreRefusedNamingTheSetting) {
  const auto refusal = [](std::map<std::string, std::string> vars) {
    try {
      tg::read_redis_settings(fake_env(std::move(vars)));
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refusal({{"REDIS_CLUSTER_NODES", "h:7001"}, {"REDIS_DB", "3"}}),
            "a Redis Cluster has only database 0: REDIS_DB=3 cannot be used with REDIS_CLUSTER_NODES");
  EXPECT_NE(refusal({{"REDIS_CLUSTER_NODES", "h:7001"}, {"REDIS_SENTINELS", "s:26379"}, {"REDIS_SENTINEL_MASTER", "m"}})
                .find("cannot be used together"),
            std::string::npos);
  EXPECT_NE(refusal({{"REDIS_SENTINELS", "s:26379"}}).find("REDIS_SENTINELS needs REDIS_SENTINEL_MASTER"),
            std::string::npos);
  EXPECT_EQ(refusal({{"REDIS_CLUSTER_NODES", "h:7001,nope"}}),
            "REDIS_CLUSTER_NODES: 'nope' is not host:port with a port from 1 to 65535");
  EXPECT_EQ(refusal({{"REDIS_SENTINELS", "s:0"}, {"REDIS_SENTINEL_MASTER", "m"}}),
            "REDIS_SENTINELS: 's:0' is not host:port with a port from 1 to 65535");
}
