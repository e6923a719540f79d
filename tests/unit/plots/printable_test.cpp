// Texts the drawing stack cannot take (controls, noncharacters, broken UTF-8): a record holding
// one is refused in every format with a message naming the field; texts built in code and
// messages quoting input are drawn with U+FFFD instead; every SVG is well-formed XML.

#include "excerpt.hpp"
#include "utf8.hpp"

#include "support.hpp"
#include "xml.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using namespace plots_test;
namespace d = pl::detail;

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += {static_cast<char>(0xc0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3f))};
  } else if (c < 0x10000) {
    out += {static_cast<char>(0xe0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3f)),
            static_cast<char>(0x80 | (c & 0x3f))};
  } else {
    out += {static_cast<char>(0xf0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3f)),
            static_cast<char>(0x80 | ((c >> 6) & 0x3f)), static_cast<char>(0x80 | (c & 0x3f))};
  }
  return out;
}

std::string hex(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
  return buf;
}

TEST(PrintableCharacters, RefusedClassesEndWhereTheyShould) {
  const std::pair<char32_t, bool> cases[] = {
      {0x00, false},    {0x08, false},   {0x09, true},     {0x0a, true},     {0x0b, false},    {0x0d, true},
      {0x1f, false},    {0x20, true},    {0x7e, true},     {0x7f, false},    {0x85, false},    {0x9f, false},
      {0xa0, true},     {0xd7ff, true},  {0xd800, false},  {0xdfff, false},  {0xe000, true},   {0xfdcf, true},
      {0xfdd0, false},  {0xfdef, false}, {0xfdf0, true},   {0xfffd, true},   {0xfffe, false},  {0xffff, false},
      {0x10000, true},  {0x1fffd, true}, {0x1fffe, false}, {0x1ffff, false}, {0x10fffd, true}, {0x10ffff, false},
      {0x110000, false}};
  for (const auto& [c, printable] : cases) EXPECT_EQ(d::is_printable(c), printable) << hex(c);

  // Positions count characters; a byte that starts no sequence is one character.
  EXPECT_EQ(d::describe(*d::find_unprintable("ab\u00e9\uFFFF")), "U+FFFF (character 4) cannot be printed");
  EXPECT_EQ(d::describe(*d::find_unprintable("ok\xff")), "byte 0xFF (character 3) is not UTF-8");
  EXPECT_EQ(d::describe(*d::find_unprintable("\xed\xa0\x80")), "byte 0xED (character 1) is not UTF-8");  // a surrogate
  EXPECT_FALSE(d::find_unprintable("Tab\there, line\r\nbreaks, ኢትዮ, \U0001F600, \U0010FFFD"));
}

TEST(PrintableCharacters, DrawnWithReplacementsAndQuotedWithEscapes) {
  EXPECT_EQ(d::drawable_text("a\tb\r\nc\u2028d"), "a b  c d");
  EXPECT_EQ(d::drawable_text(std::string("x\0y\uFFFE\xff", 7)), "x\uFFFDy\uFFFD\uFFFD");
  EXPECT_EQ(d::escape_unprintable("a\uFFFFb\x7f" + utf8(0x1ffff) + "\xff"), "a\\uffffb\\u007f\\ud83f\\udfff\uFFFD");
  EXPECT_EQ(d::excerpt(json("no \uFDD0")), "\"no \\ufdd0\"");
  EXPECT_EQ(d::excerpt_text("key\u0085"), "key\\u0085");
}

// A selected square parcel (number "S1") on a sheet with its land use and file number, with each
// printed text settable.
struct text_field {
  std::string where;
  std::function<void(json& parcels, const std::string& text)> set;
  bool sheet_only = false;
};

json labelled_parcels() {
  const auto sq = square();
  json selected = parcel("S1", sq, boundary_of(sq), "Lot 7");
  selected["land_use"] = "Residential";
  selected["file_no"] = "F-12";
  return json::array({parcel("N1", square(100, {100, 0})), selected});
}

pl::plan_file file_of(const json& parcels, pl::plan_format format, bool sheet) {
  const json& number = parcels[1]["parcel_number"];
  return pl::render_plan_file(parcels, number, nullptr, "parcel_number", nullptr, format, pl::default_render_time_limit,
                              sheet ? std::optional(pl::sheet_options{{"file_no"}, "2026-01-02"}) : std::nullopt);
}

constexpr pl::plan_format formats[] = {pl::plan_format::png, pl::plan_format::pdf, pl::plan_format::svg};

TEST(UnprintableText, InARecordIsRefusedInEveryFormatNamingTheField) {
  const text_field fields[] = {
      {"parcel_data[1].name", [](json& p, const std::string& t) { p[1]["name"] = t; }},
      {"parcel_data[1].boundary[1].beacon_name",
       [](json& p, const std::string& t) { p[1]["boundary"][1]["beacon_name"] = t; }},
      {"parcel_data[1].boundary[2].bearing_deg_to_next",
       [](json& p, const std::string& t) { p[1]["boundary"][2]["bearing_deg_to_next"] = t; }},
      {"parcel_data[1].boundary[3].bearing_min_to_next",
       [](json& p, const std::string& t) { p[1]["boundary"][3]["bearing_min_to_next"] = t; }},
      {"parcel_data[1].land_use", [](json& p, const std::string& t) { p[1]["land_use"] = t; }, true},
      {"parcel_data[1].file_no", [](json& p, const std::string& t) { p[1]["file_no"] = t; }, true},
      {"parcel_data[1].parcel_number", [](json& p, const std::string& t) { p[1]["parcel_number"] = t; }, true}};
  const char32_t refused[] = {0x00, 0x01, 0x1b, 0x7f, 0x85, 0x9f, 0xfdd0, 0xfdef, 0xfffe, 0xffff, 0x1fffe, 0x10ffff};
  for (const auto& field : fields) {
    for (const char32_t c : refused) {
      json parcels = labelled_parcels();
      field.set(parcels, "Lot" + utf8(c) + "7");
      const std::string message = field.where + ": " + hex(c) + " (character 4) cannot be printed";
      for (const bool sheet : {false, true}) {
        if (field.sheet_only && !sheet) continue;
        for (const auto format : formats) {
          try {
            file_of(parcels, format, sheet);
            ADD_FAILURE() << "drawn: " << message << " in format " << static_cast<int>(format)
                          << (sheet ? " sheet" : "");
          } catch (const pl::plan_input_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
          }
        }
      }
    }
  }
  // What a caller names for the sheet is held to the same.
  const json parcels = labelled_parcels();
  const auto refusal = [&](const pl::sheet_options& options) {
    try {
      pl::read_sheet_facts(parcels, "S1", "parcel_number", options);
    } catch (const pl::plan_input_error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refusal({{"file\uFFFF"}, ""}), "sheet_fields[0]: U+FFFF (character 5) cannot be printed");
  EXPECT_EQ(refusal({{"file\u0085"}, ""}), "sheet_fields[0]: U+0085 (character 5) cannot be printed");
  EXPECT_EQ(refusal({{}, "2026\uFDD0"}), "date: U+FDD0 (character 5) cannot be printed");
}

TEST(UnprintableText, BreaksAndRareCharactersAreDrawnAlikeInEveryFormat) {
  // Tabs and line breaks are drawn as spaces: one line in the PNG and PDF as in the SVG.
  json broken = labelled_parcels(), spaced = labelled_parcels();
  broken[1]["name"] = "Lot\t7\r\nA\u2028B";
  spaced[1]["name"] = "Lot 7  A B";
  EXPECT_EQ(file_of(broken, pl::plan_format::png, false).bytes, file_of(spaced, pl::plan_format::png, false).bytes);

  json rare = labelled_parcels();
  const std::string text = "\uFFFD\uE000\U0010FFFD\U0001F600ኢ <&> \"'";
  rare[1]["name"] = text;
  rare[1]["land_use"] = text;
  for (const bool sheet : {false, true}) {
    for (const auto format : formats) {
      const auto file = file_of(rare, format, sheet);
      EXPECT_FALSE(file.bytes.empty());
      if (format == pl::plan_format::svg) {
        EXPECT_EQ(xml_errors(file.bytes), "") << (sheet ? "sheet" : "figure");
      }
    }
  }
}

TEST(UnprintableText, InPlansBuiltInCodeAndInNoticesIsDrawnAsAReplacement) {
  const std::string texts[] = {"\uFFFF",   std::string("a\0b", 3), "\x01\x1b[2J",
                               "\xff\xfe", "\xed\xa0\x80",         "\uFDD0\U0010FFFF"};
  pl::plan p = layout(labelled_parcels(), "S1");
  for (const auto& t : texts)
    p.items.push_back({pl::item_kind::parcel_name, 9, pl::text_shape{{50, 50}, t, 10, pl::font_weight::normal, 30}});
  EXPECT_NO_THROW(pl::render_png(p));
  EXPECT_NO_THROW(pl::render_pdf(p));
  const std::string svg = pl::render_svg(p);
  EXPECT_EQ(xml_errors(svg), "");
  EXPECT_NE(svg.find(">a\uFFFDb<"), std::string::npos);

  pl::sheet_facts facts = pl::read_sheet_facts(labelled_parcels(), "S1", "parcel_number", {{"file_no"}, "2026-01-02"});
  facts.title = texts[0];
  facts.beacons[0].name = texts[3];
  EXPECT_NO_THROW(pl::render_sheet_png(p, facts));
  EXPECT_NO_THROW(pl::render_sheet_pdf(p, facts));
  EXPECT_EQ(xml_errors(pl::render_sheet_svg(p, facts)), "");

  // A batch's notice quotes the reason, which may quote the input.
  pl::pdf_book book;
  for (const auto& t : texts) book.add_notice("No plan for page 1: " + t);
  EXPECT_EQ(book.pages(), std::size(texts));
  EXPECT_NO_THROW(book.finish());
}

TEST(SvgPlan, EveryExampleIsWellFormedXmlAsFigureAndSheet) {
  std::size_t examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(PLOTS_EXAMPLES_DIR)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const json doc = json::parse(text.str());
    const std::string columnname = doc.value("columnname", "parcel_number");
    const auto p = pl::plan_layout(doc["parcel_data"], doc["selected_parcel_number"], doc.value("road_data", json()),
                                   columnname, doc.value("bounding_box", json()));
    const auto facts =
        pl::read_sheet_facts(doc["parcel_data"], doc["selected_parcel_number"], columnname, {{"name"}, ""});
    EXPECT_EQ(xml_errors(pl::render_svg(p)), "") << entry.path();
    EXPECT_EQ(xml_errors(pl::render_sheet_svg(p, facts)), "") << entry.path();
    ++examples;
  }
  EXPECT_EQ(examples, 3u);
}

}  // namespace
