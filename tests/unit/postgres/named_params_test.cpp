#include <clients/pg/errors.hpp>
#include <clients/pg/named_params.hpp>

#include <gtest/gtest.h>

namespace pg = clients::pg;

namespace {

struct translation_case {
  const char* sql;
  const char* expected;
  std::vector<std::string> names;
};

class NamedParamTranslation : public ::testing::TestWithParam<translation_case> {};

TEST_P(NamedParamTranslation, RewritesOnlyRealParameters) {
  const auto& c = GetParam();
  const auto t = pg::translate_named_params(c.sql);
  EXPECT_EQ(t.text, c.expected);
  EXPECT_EQ(t.names, c.names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamedParamTranslation,
    ::testing::Values(
        translation_case{"SELECT 1", "SELECT 1", {}},
        translation_case{"SELECT :a, :b_2, :a", "SELECT $1, $2, $1", {"a", "b_2"}},
        translation_case{"WHERE x = :x::float8 AND y::text = :y", "WHERE x = $1::float8 AND y::text = $2", {"x", "y"}},
        translation_case{"SELECT ':a', 'it''s :b', :c", "SELECT ':a', 'it''s :b', $1", {"c"}},
        translation_case{R"(SELECT E'\' :a', :b)", R"(SELECT E'\' :a', $1)", {"b"}},
        translation_case{R"(SELECT '\', :b)", R"(SELECT '\', $1)", {"b"}},
        translation_case{"SELECT $$ :a $$, $fn$ x :b $ $fn$, :c", "SELECT $$ :a $$, $fn$ x :b $ $fn$, $1", {"c"}},
        translation_case{"SELECT $1, a$b$ :c", "SELECT $1, a$b$ $1", {"c"}},
        translation_case{R"(SELECT "col:a", "x"":b", :c)", R"(SELECT "col:a", "x"":b", $1)", {"c"}},
        translation_case{"SELECT 1 -- :a\n, :b", "SELECT 1 -- :a\n, $1", {"b"}},
        translation_case{"SELECT /* :a /* :b */ :c */ :d", "SELECT /* :a /* :b */ :c */ $1", {"d"}},
        translation_case{"SELECT arr[1:2], arr[lo:hi], f(x := 1)", "SELECT arr[1:2], arr[lo:hi], f(x := 1)", {}},
        translation_case{R"(SELECT '12:30'::time, \:literal)", "SELECT '12:30'::time, :literal", {}},
        translation_case{"SELECT :a,:b", "SELECT $1,$2", {"a", "b"}},
        translation_case{"SELECT 'unterminated :a", "SELECT 'unterminated :a", {}},
        translation_case{
            "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857) LIMIT :max_features",
            "ST_MakeEnvelope($1, $2, $3, $4, 3857) LIMIT $5",
            {"min_x", "min_y", "max_x", "max_y", "max_features"}}));

TEST(BindParams, OrdersValuesByPlaceholderAndRefusesMissingOrTruncatedOnes) {
  const auto t = pg::translate_named_params("SELECT :b, :a, :b");
  const auto v = pg::bind_params(t, {{"a", std::int64_t{1}}, {"unused", true}, {"b", std::string("x")}});
  EXPECT_EQ(v, (std::vector<std::optional<std::string>>{"x", "1"}));
  try {
    pg::bind_params(t, {{"b", std::int64_t{1}}});
    FAIL() << "no error";
  } catch (const pg::statement_error& e) {
    EXPECT_NE(std::string(e.what()).find("'a'"), std::string::npos) << e.what();
    EXPECT_TRUE(e.sqlstate().empty());
  }
  // Text is sent NUL-terminated: an embedded NUL would silently cut it.
  EXPECT_THROW(pg::bind_params(t, {{"a", std::string("a\0b", 3)}, {"b", true}}), pg::statement_error);
}

TEST(NamedParamCache, ReusesTranslationsAndStaysBounded) {
  pg::named_param_cache cache(2);
  const auto a1 = cache.get("SELECT :a");
  EXPECT_EQ(cache.get("SELECT :a"), a1);
  cache.get("SELECT :b");
  cache.get("SELECT :c");
  EXPECT_LE(cache.size(), 2u);
  EXPECT_EQ(cache.get("SELECT :a")->text, "SELECT $1");
}

}  // namespace
