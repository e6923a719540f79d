// Conversion of request text to typed parameters.
#include <gtest/gtest.h>

#include <cmath>

#include "host/http/params.hpp"

namespace {
using namespace host::http;

TEST(IntegerParameters, AnyLengthWithoutOverflow) {
  EXPECT_EQ(parse_integer("15")->value, 15);
  EXPECT_EQ(parse_integer("+15")->text, "15");
  EXPECT_EQ(parse_integer("-0")->text, "0");
  EXPECT_EQ(parse_integer("000123")->text, "123");
  EXPECT_EQ(parse_integer("9223372036854775807")->value, INT64_MAX);
  const auto huge = parse_integer("9223372036854775808");
  ASSERT_TRUE(huge);
  EXPECT_FALSE(huge->value);
  EXPECT_EQ(huge->text, "9223372036854775808");
  for (const char* bad : {"", "-", "1.0", "0x10", "1e3", "12a", "١٢"}) EXPECT_FALSE(parse_integer(bad)) << bad;
}

TEST(IntegerParameters, MinimumRefusesSmallerValuesOfAnyLength) {
  auto limit = query_param("max_features", param_type::integer, std::nullopt);
  limit.minimum = 0;
  for (const char* ok : {"0", "-0", "15000", "99999999999999999999999"})
    EXPECT_TRUE(std::holds_alternative<param_value>(convert_param(limit, ok))) << ok;
  for (const char* low : {"-1", "-99999999999999999999999"}) {
    const auto refused = std::get<param_problem>(convert_param(limit, low));
    EXPECT_EQ(refused.type, "greater_than_equal");
    EXPECT_EQ(refused.message, "Input should be greater than or equal to 0");
    EXPECT_EQ(refused.input, low);
  }
}

TEST(NumberParameters, DecimalsExponentsAndSpecialValues) {
  EXPECT_EQ(*parse_number("7.49"), 7.49);
  EXPECT_EQ(*parse_number("-1e-3"), -0.001);
  EXPECT_EQ(*parse_number("+2"), 2.0);
  EXPECT_TRUE(std::isnan(*parse_number("NaN")));
  EXPECT_TRUE(std::isinf(*parse_number("-Infinity")));
  EXPECT_TRUE(std::isinf(*parse_number("1e999")));
  for (const char* bad : {"", "abc", "0x1p3", "1,5", "--1"}) EXPECT_FALSE(parse_number(bad)) << bad;
}

TEST(BooleanParameters, CommonSpellingsInAnyCase) {
  for (const char* yes : {"true", "TRUE", "1", "yes", "On", "t", "y"}) EXPECT_EQ(parse_boolean(yes), true) << yes;
  for (const char* no : {"false", "False", "0", "no", "OFF", "f", "n"}) EXPECT_EQ(parse_boolean(no), false) << no;
  for (const char* bad : {"", "2", "maybe", "truee"}) EXPECT_FALSE(parse_boolean(bad)) << bad;
}

}  // namespace
