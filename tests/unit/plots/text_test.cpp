// How numbers on the plan print, and how the selection compares identifiers.

#include "py_text.hpp"

#include <gtest/gtest.h>

namespace {

using printsvc::plots::detail::format_fixed2;
using printsvc::plots::detail::python_equal;
using printsvc::plots::detail::python_float_repr;
using printsvc::plots::detail::python_str;
using json = nlohmann::ordered_json;

TEST(PlainText, NumbersPrintAsPythonPrintsThem) {
  const std::pair<double, const char*> reals[] = {{45.0, "45.0"},       {-0.0, "-0.0"}, {1e15, "1000000000000000.0"},
                                                  {1e16, "1e+16"},      {0.0001, "0.0001"}, {0.00001, "1e-05"},
                                                  {37605.29482551143, "37605.29482551143"}};
  for (const auto& [value, text] : reals) EXPECT_EQ(python_float_repr(value), text);
  EXPECT_EQ(python_str(json::parse("18446744073709551615")), "18446744073709551615");
  EXPECT_EQ(format_fixed2(0.125), "0.12");  // binary 0.125 is exact: ties go to even
  EXPECT_EQ(format_fixed2(-0.001), "-0.00");
}

TEST(Selection, NumbersCompareByValueAndNeverEqualText) {
  EXPECT_TRUE(python_equal(json::parse("5071"), json::parse("5071.0")));
  EXPECT_TRUE(python_equal(json(true), json(1)));
  EXPECT_FALSE(python_equal(json::parse("5071"), json("5071")));
  EXPECT_FALSE(python_equal(json::parse("5071"), json::parse("5071.5")));
  EXPECT_FALSE(python_equal(json::parse("-5071"), json::parse("5071")));
  // 2^53 + 1 has no double: an exact comparison tells them apart.
  EXPECT_FALSE(python_equal(json::parse("9007199254740993"), json::parse("9007199254740992.0")));
  EXPECT_TRUE(python_equal(json::parse("[1, \"a\"]"), json::parse("[1.0, \"a\"]")));
  EXPECT_FALSE(python_equal(json(nullptr), json(0)));
}

}  // namespace
