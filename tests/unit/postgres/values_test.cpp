#include <clients/pg/value.hpp>

#include "binary_decode.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pg = clients::pg;
namespace detail = clients::pg::detail;

namespace {

TEST(ParamText, EveryKindOfValue) {
  EXPECT_EQ(pg::to_param_text(pg::value{}), std::nullopt);
  EXPECT_EQ(pg::to_param_text(std::string()), "");
  EXPECT_EQ(pg::to_param_text(true), "true");
  EXPECT_EQ(pg::to_param_text(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(pg::to_param_text(0.1), "0.1");
  EXPECT_EQ(pg::to_param_text(1e300), "1e+300");
  EXPECT_EQ(pg::to_param_text(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(pg::to_param_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
  // A string literal must not turn into a bool.
  EXPECT_EQ(pg::to_param_text(pg::value("text")), "text");
}

// numeric in the server's binary layout: ndigits, weight, sign, dscale, base-10000 digits.
std::string numeric(std::int16_t weight, std::uint16_t sign, std::int16_t dscale, std::vector<std::uint16_t> digits) {
  std::string out;
  auto put = [&](std::uint16_t v) {
    out += char(v >> 8);
    out += char(v & 0xff);
  };
  put(static_cast<std::uint16_t>(digits.size()));
  put(static_cast<std::uint16_t>(weight));
  put(sign);
  put(static_cast<std::uint16_t>(dscale));
  for (auto d : digits) put(d);
  return out;
}

TEST(NumericDecoding, TextKeepsScaleAndDigits) {
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0, 0, {})), "0");
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0, 2, {})), "0.00");
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0x4000, 2, {1, 5000})), "-1.50");
  EXPECT_EQ(detail::decode_numeric_text(numeric(1, 0, 0, {1, 0})), "10000");
  EXPECT_EQ(detail::decode_numeric_text(numeric(-2, 0, 6, {1200})), "0.000012");
  EXPECT_EQ(detail::decode_numeric_text(numeric(4, 0, 6, {1234, 5678, 9012, 3456, 7890, 1230})),
            "12345678901234567890.123000");
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0xC000, 0, {})), "NaN");
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0xD000, 0, {})), "Infinity");
  EXPECT_EQ(detail::decode_numeric_text(numeric(0, 0xF000, 0, {})), "-Infinity");
  EXPECT_EQ(detail::decode_numeric_text("short"), std::nullopt);
}

TEST(NumericDecoding, DoubleIsCorrectlyRounded) {
  EXPECT_EQ(detail::decode_numeric_double(numeric(-1, 0, 1, {1000})), 0.1);
  EXPECT_EQ(detail::decode_numeric_double(numeric(0, 0x4000, 2, {1, 5000})), -1.5);
  EXPECT_TRUE(std::isnan(*detail::decode_numeric_double(numeric(0, 0xC000, 0, {}))));
  EXPECT_EQ(detail::decode_numeric_double(numeric(100, 0, 0, {1})), std::numeric_limits<double>::infinity());
  EXPECT_EQ(detail::decode_numeric_double(numeric(-100, 0, 400, {1})), 0.0);
}

}  // namespace
