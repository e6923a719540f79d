#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mapsvc/tile_gateway/banner.hpp"
#include "mapsvc/tile_gateway/errors.hpp"
#include "mapsvc/tile_gateway/redis_settings.hpp"

namespace tg = mapsvc::tile_gateway;

namespace {

// A stand-in environment: unset variables are absent from the map.
tg::getenv_function fake_env(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> const char* {
    const auto it = vars.find(name);
    return it == vars.end() ? nullptr : it->second.c_str();
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

TEST(RedisSettings, RefusesBadNumbersWithPythonsMessage) {
  try {
    tg::read_redis_settings(fake_env({{"REDIS_PORT", "63 79"}}));
    FAIL();
  } catch (const tg::invalid_int_literal& e) {
    EXPECT_STREQ(e.what(), "invalid literal for int() with base 10: '63 79'");
  }
  EXPECT_THROW(tg::read_redis_settings(fake_env({{"REDIS_DB", ""}})), std::invalid_argument);
  try {
    tg::read_redis_settings(fake_env({{"REDIS_PORT", "99999999999"}}));
    FAIL();
  } catch (const tg::setting_out_of_range& e) {
    EXPECT_STREQ(e.what(), "REDIS_PORT out of range: '99999999999'");
  }
  EXPECT_THROW(tg::read_redis_settings(fake_env({{"REDIS_DB", "99999999999999999999999"}})), std::out_of_range);
}

struct int_case {
  const char* text;
  std::int64_t value;
};

class PythonIntAccepts : public testing::TestWithParam<int_case> {};
TEST_P(PythonIntAccepts, Text) { EXPECT_EQ(tg::parse_python_int(GetParam().text), GetParam().value); }
INSTANTIATE_TEST_SUITE_P(Cases, PythonIntAccepts,
                         testing::Values(int_case{"6379", 6379}, int_case{" 6380\n", 6380}, int_case{"+0_1", 1},
                                         int_case{"-7", -7}, int_case{"1_000", 1000}, int_case{"007", 7},
                                         int_case{"\u00a06381\u3000", 6381}, int_case{"\x1c""5\x1f", 5},
                                         int_case{"9223372036854775807", INT64_MAX},
                                         int_case{"-9223372036854775808", INT64_MIN}));

class PythonIntRefuses : public testing::TestWithParam<const char*> {};
TEST_P(PythonIntRefuses, Text) {
  try {
    tg::parse_python_int(GetParam());
    FAIL() << GetParam();
  } catch (const tg::invalid_int_literal& e) {
    EXPECT_EQ(std::string(e.what()).rfind("invalid literal for int() with base 10: ", 0), 0u);
  }
}
INSTANTIATE_TEST_SUITE_P(Cases, PythonIntRefuses,
                         testing::Values("1__0", "_1", "1_", "", "  ", "+", "- 1", "0x10", "12a", "6379.0", "+-1",
                                         "1_a", "99999999999999999999_"));
