// How record texts are measured (characters, not bytes) and how input is quoted in messages.

#include "excerpt.hpp"
#include "utf8.hpp"

#include <gtest/gtest.h>

namespace {

using printsvc::plots::detail::excerpt;
using printsvc::plots::detail::excerpt_text;
using printsvc::plots::detail::leading_chars;
using printsvc::plots::detail::printed_length;
using json = nlohmann::ordered_json;

std::string times(std::size_t n, std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(PrintedLength, OneCharacterPerSequenceAndPerByteOfABrokenOne) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"PB 7733", 7},
      {"ኢትዮ", 3},                 // three bytes each
      {"e\u0301", 2},              // a combining accent is a character of its own
      {"\xf0\x9f\x98\x80", 1},     // four bytes
      {"\xff", 1},                 // never a UTF-8 byte
      {"\xc0\x80", 2},             // overlong NUL
      {"\xed\xa0\x80", 3},         // a surrogate half
      {"\xf4\x90\x80\x80", 4},     // beyond U+10FFFF
      {"a\xe2\x82", 3}};           // cut off at the end
  for (const auto& [text, chars] : cases) EXPECT_EQ(printed_length(text), chars) << text;

  EXPECT_EQ(leading_chars("ኢትዮ", 2), "ኢት");
  EXPECT_EQ(leading_chars("abc", 5), "abc");
  EXPECT_EQ(leading_chars("\xf0\x9f\x98\x80x", 1), "\xf0\x9f\x98\x80");
  EXPECT_EQ(leading_chars("\xe2\x82x", 1), "\xe2");
}

TEST(Excerpt, ShortValuesAsTheirJsonTextLongOnesCutAfterSixtyCharacters) {
  for (const json& v : {json(5071), json::parse("5071.0"), json("5071"), json::parse(R"([1, "a", {"k": null}])"),
                        json(nullptr), json::parse(R"({"nested": [[1, 2], {"x": true}]})")})
    EXPECT_EQ(excerpt(v), v.dump());

  EXPECT_EQ(excerpt(json(times(61, "é"))), "\"" + times(59, "é") + "…");
  EXPECT_EQ(excerpt(json(json::array_t(1000, "ab"))), "[" + times(11, "\"ab\",") + "\"ab\"…");
  json deep = json::array();
  for (int i = 0; i < 20; ++i) deep = json::array({deep});
  EXPECT_EQ(excerpt(deep), "[[[[[[[[[…");

  EXPECT_EQ(excerpt_text(times(60, "x")), times(60, "x"));
  EXPECT_EQ(excerpt_text(times(61, "ኢ")), times(60, "ኢ") + "…");
}

}  // namespace
