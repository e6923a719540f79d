// Untrusted JSON bodies: depth bounded while parsing, clear refusals, bounded messages.
#include <gtest/gtest.h>

#include <string>

#include "host/http/json_body.hpp"

namespace {
using host::http::json_body_error;
using host::http::json_limits;
using host::http::parse_json_body;

std::string nested(std::size_t depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); }

std::string nested_objects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
  return text + "1" + std::string(depth, '}');
}

std::string refusal(std::string_view text, json_limits limits = {}) {
  try {
    parse_json_body(text, limits);
  } catch (const json_body_error& e) {
    return e.what();
  }
  return "";
}

TEST(JsonBody, KeepsDocumentsAsTheStandardParserDoes) {
  const auto doc = parse_json_body(R"({"b": [1, 2.5, "x", null, true], "a": {"c": 45.0}})");
  EXPECT_EQ(doc.dump(), R"({"b":[1,2.5,"x",null,true],"a":{"c":45.0}})");  // order and 45.0 kept
  EXPECT_EQ(parse_json_body(nested(64)).dump(), nested(64));
  EXPECT_EQ(parse_json_body("  7 ").get<int>(), 7);
  EXPECT_EQ(parse_json_body(nested_objects(3), {.max_depth = 3}).dump(), nested_objects(3));
}

TEST(JsonBody, RefusesDepthBeyondTheLimitWithoutRecursing) {
  EXPECT_EQ(refusal(nested(65)), "JSON nested deeper than 64 levels");
  EXPECT_EQ(refusal(nested_objects(4), {.max_depth = 3}), "JSON nested deeper than 3 levels");
  // Far deeper than any stack: refused at level 65 after reading only that much.
  const std::string bomb = R"({"parcel_data":[],"selected_parcel_number":)" + nested(1'000'000) + "}";
  EXPECT_EQ(refusal(bomb), "JSON nested deeper than 64 levels");
  // Unbalanced and deep is refused the same way, not as a syntax error at the end.
  EXPECT_EQ(refusal(std::string(200'000, '[')), "JSON nested deeper than 64 levels");
}

TEST(JsonBody, RefusesMalformedTextAndHugeNumbersWithShortMessages) {
  for (const std::string text : {"", "{", "[1,]", "{\"a\" 1}", "nul", "[1] [2]", "\"\\ud800\""})
    EXPECT_FALSE(refusal(text).empty()) << text;
  EXPECT_NE(refusal("[1e400]").find("number overflow"), std::string::npos);
  EXPECT_NE(refusal("-1e400").find("number overflow"), std::string::npos);
  // A malformed token of a megabyte is quoted only in part.
  const std::string long_token = "[\"" + std::string(1'000'000, 'x');
  EXPECT_LE(refusal(long_token).size(), 210u);
  EXPECT_LE(refusal("[1" + std::string(1'000'000, '0') + "e999999]").size(), 210u);
}

}  // namespace
