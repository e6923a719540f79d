#include <gtest/gtest.h>

#include <limits>

#include "mapsvc/tile_gateway/python_text.hpp"

namespace tg = mapsvc::tile_gateway;
using ojson = nlohmann::ordered_json;

// Every expected string below is what python3 prints for the same value.

TEST(PythonJson, MatchesJsonDumpsDefaults) {
  ojson doc = ojson::object();
  doc["z"] = 1;
  doc["m"] = 45.0;
  doc["s"] = "h\u00e9llo \"q\" \n \u0001 \x7f \U0001F600 /";
  doc["arr"] = ojson::array({1, 2.5, nullptr, true, false, ojson{{"k", ojson::array()}}});
  doc["e"] = ojson::object();
  doc["neg"] = -0.0;
  doc["small"] = 1e-7;
  doc["x"] = 1e16;
  doc["y"] = 1e15;
  doc["n"] = std::numeric_limits<double>::quiet_NaN();
  doc["i"] = std::numeric_limits<double>::infinity();
  doc["ni"] = -std::numeric_limits<double>::infinity();
  doc["big"] = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(tg::python_json_dumps(doc),
            R"({"z": 1, "m": 45.0, "s": "h\u00e9llo \"q\" \n \u0001 \u007f \ud83d\ude00 /", )"
            R"("arr": [1, 2.5, null, true, false, {"k": []}], "e": {}, "neg": -0.0, "small": 1e-07, )"
            R"("x": 1e+16, "y": 1000000000000000.0, "n": NaN, "i": Infinity, "ni": -Infinity, )"
            R"("big": -9223372036854775808})");
  EXPECT_THROW(tg::python_json_dumps(ojson::binary({1, 2})), std::invalid_argument);
}

TEST(PythonFloatRepr, IsShortestRoundTrip) {
  // Values beyond those in the document test above.
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.1"}, {1e-5, "1e-05"}, {0.0001, "0.0001"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {123456789.125, "123456789.125"}, {2.5e-7, "2.5e-07"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"}, {-std::numeric_limits<double>::infinity(), "-inf"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(tg::python_float_repr(value), text);
}

TEST(PythonRepr, StringsListsAndMappings) {
  EXPECT_EQ(tg::python_str_repr("it's"), R"("it's")");
  EXPECT_EQ(tg::python_str_repr(R"(say "hi")"), R"('say "hi"')");
  EXPECT_EQ(tg::python_str_repr(R"(it's "x")"), R"('it\'s "x"')");
  EXPECT_EQ(tg::python_str_repr("a\\b\tc\n"), R"('a\\b\tc\n')");
  EXPECT_EQ(tg::python_str_repr("\x01\x7f"), R"('\x01\x7f')");
  EXPECT_EQ(tg::python_str_repr("\u00e9"), "'\u00e9'");
  EXPECT_EQ(tg::python_str_repr("\u00a0x"), R"('\xa0x')");
  EXPECT_EQ(tg::python_list_repr({"plots", "beacons"}), "['plots', 'beacons']");
  EXPECT_EQ(tg::python_list_repr({}), "[]");

  const ojson box = {{"minx", -20037508.342789244}, {"miny", 20037508.342789244}, {"maxx", 0.0}, {"maxy", 1e16},
                     {"z", 3},  {"ok", true}, {"none", nullptr}, {"l", {"a"}}};
  EXPECT_EQ(tg::python_repr(box),
            "{'minx': -20037508.342789244, 'miny': 20037508.342789244, 'maxx': 0.0, 'maxy': 1e+16, 'z': 3, "
            "'ok': True, 'none': None, 'l': ['a']}");
  EXPECT_EQ(tg::python_str(16), "16");
  EXPECT_EQ(tg::python_str(1.0), "1.0");
}
