// The full sheet as drawn: its furniture read back from the PDF with pdftotext's word boxes,
// clear of the figure, the figure still at true scale, long beacon lists on a further page; the
// SVG and PNG sheets.

#include "sheet_layout.hpp"
#include "vector.hpp"

#include "poppler.hpp"
#include "support.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

namespace {

using namespace plots_test;
namespace d = pl::detail;

// A square parcel at 1:1000 with beacons BK1..BK4 (or a many-sided one) and register columns;
// the south side's bearing reads "11" and "22", a quarter and three quarters along it.
json sheet_parcels(std::size_t sides = 4) {
  std::vector<pl::point> ring = square();
  if (sides != 4) {
    ring.clear();
    for (std::size_t i = 0; i < sides; ++i) {
      const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(sides);
      ring.push_back({50 + 50 * std::cos(a), 50 + 50 * std::sin(a)});
    }
  }
  json boundary = boundary_of(ring);
  for (std::size_t i = 0; i < boundary.size(); ++i) boundary[i]["beacon_name"] = "BK" + std::to_string(i + 1);
  boundary[0]["bearing_deg_to_next"] = 11;
  boundary[0]["bearing_min_to_next"] = 22;
  json selected = parcel(1, ring, boundary, "Lot", 10000);
  selected["land_use"] = "Residential";
  selected["file_no"] = "F-12";
  return json::array({parcel(2, square(100, {100, 0})), selected});
}

struct sheet_case {
  pl::plan plan;
  pl::sheet_facts facts;
  d::rect_mm figure;  // in points
};

sheet_case make_sheet(std::size_t sides = 4) {
  const json parcels = sheet_parcels(sides);
  sheet_case c{layout(parcels, 1), pl::read_sheet_facts(parcels, 1, "parcel_number", {{"file_no"}, "2026-01-02"}), {}};
  const auto page = d::true_scale_page(c.plan.page);
  const auto f = d::frame_sheet(page.target_width_mm, page.target_height_mm).figure;
  c.figure = {f.left * pt_per_mm, f.top * pt_per_mm, f.width * pt_per_mm, f.height * pt_per_mm};
  return c;
}

bool inside(const word& w, const d::rect_mm& r) {
  return w.x_min >= r.left && w.x_max <= r.right() && w.y_min >= r.top && w.y_max <= r.bottom();
}
bool clear_of(const word& w, const d::rect_mm& r) {
  return !d::overlaps({w.x_min, w.y_min, w.x_max - w.x_min, w.y_max - w.y_min}, r);
}

TEST(PdfSheet, FurnitureIsPresentAndClearOfTheFigure) {
  if (!have("pdftotext") || !have("pdfinfo")) GTEST_SKIP() << "poppler-utils is not installed";
  const auto c = make_sheet();
  ASSERT_EQ(c.plan.page.scale, 1000);
  const std::string path = saved(pl::render_sheet_pdf(c.plan, c.facts), "sheet.pdf");
  EXPECT_NE(run("pdfinfo '" + path + "'").find("Pages:           1"), std::string::npos);
  const auto words = words_of(path);
  const auto furniture = [&](const std::string& text) {
    const auto [from, to] = words.equal_range(text);
    EXPECT_NE(from, to) << "missing: " << text;
    for (auto it = from; it != to; ++it) EXPECT_TRUE(clear_of(it->second, c.figure)) << text << " on the figure";
  };
  for (const char* text : {"Survey", "Parcel:", "Area:", "10000.00", "Land", "Residential", "file_no:", "F-12",
                           "2026-01-02", "Beacon", "Easting", "Northing", "metres", "N"})
    furniture(text);
  // "1 : 1000" as three words, in the title block and over the scale bar.
  EXPECT_EQ(words.count("1000"), 2u);
  for (auto [it, end] = words.equal_range("1000"); it != end; ++it) EXPECT_TRUE(clear_of(it->second, c.figure));
  // Grid ticks of the window, -82.96 .. 182.96 east and -26 .. 126 north: every 50 m.
  for (const char* tick : {"-50", "0", "50", "100", "150"}) furniture(tick);
  EXPECT_EQ(words.count("-0"), 0u);
  // Beacon names in the table (on the figure they are turned, which pdftotext reads apart).
  for (const char* name : {"BK1", "BK2", "BK3", "BK4"}) furniture(name);
  // Nothing straddles the figure's frame: furniture stays out, figure texts stay in.
  for (const auto& [text, w] : words) EXPECT_TRUE(inside(w, c.figure) || clear_of(w, c.figure)) << text;
}

// The 100 m south side at 1:1000: its bearing labels are 50 mm apart on the sheet, also for a
// bounding box, whose picture is otherwise stretched to the frame: the sheet says "1 : 1000"
// and its scale bar is drawn for it, so the figure must be at that scale.
TEST(PdfSheet, FigureKeepsItsTrueScaleInParcelAndBoundingBoxMode) {
  if (!have("pdftotext")) GTEST_SKIP() << "poppler-utils is not installed";
  const auto c = make_sheet();
  const json box = {{"minx", -10}, {"maxx", 150}, {"miny", -20}, {"maxy", 120}, {"srid", 26332}};
  const auto boxed = layout(sheet_parcels(), 1, nullptr, box);
  ASSERT_EQ(boxed.page.scale, 1000);
  ASSERT_NEAR(boxed.page.target_height_mm, 152, 1e-9);  // stretched from 140 mm in the raster
  for (const pl::plan* p : {&c.plan, &boxed}) {
    const auto words = words_of(saved(pl::render_sheet_pdf(*p, c.facts), "sheet.pdf"));
    ASSERT_EQ(words.count("11"), 1u);
    ASSERT_EQ(words.count("22"), 1u);
    const word deg = words.find("11")->second, min = words.find("22")->second;
    EXPECT_NEAR(((min.x_min + min.x_max) / 2 - (deg.x_min + deg.x_max) / 2) / pt_per_mm, 50, 0.05);
  }
}

TEST(PdfSheet, LongBeaconListContinuesOnASecondPage) {
  if (!have("pdftotext") || !have("pdfinfo")) GTEST_SKIP() << "poppler-utils is not installed";
  const auto c = make_sheet(150);
  const std::string path = saved(pl::render_sheet_pdf(c.plan, c.facts), "long.pdf");
  EXPECT_NE(run("pdfinfo '" + path + "'").find("Pages:           2"), std::string::npos);
  const auto first = words_of(path, 1), second = words_of(path, 2);
  EXPECT_EQ(first.count("continued"), 1u);
  EXPECT_EQ(second.count("(continued),"), 1u);
  // BK8 onwards are listed on the second page only (the figure names every beacon).
  for (const char* name : {"BK8", "BK77", "BK150"}) EXPECT_EQ(second.count(name), 1u) << name;
  EXPECT_EQ(second.count("BK7"), 0u);
  // The time limit covers the whole sheet, and an abandoned sheet adds no page.
  pl::pdf_book book;
  EXPECT_THROW(book.add_sheet(c.plan, c.facts, std::chrono::milliseconds(0)), pl::render_timeout_error);
  EXPECT_EQ(book.pages(), 0u);
}

TEST(SvgAndPngSheet, OnePageWithTheSameFurniture) {
  const auto c = make_sheet(150);
  const std::string svg = pl::render_sheet_svg(c.plan, c.facts);
  GMarkupParser parser{};
  GMarkupParseContext* ctx = g_markup_parse_context_new(&parser, GMarkupParseFlags(0), nullptr, nullptr);
  const bool parsed = g_markup_parse_context_parse(ctx, svg.data(), static_cast<gssize>(svg.size()), nullptr) &&
                      g_markup_parse_context_end_parse(ctx, nullptr);
  g_markup_parse_context_free(ctx);
  EXPECT_TRUE(parsed);
  for (const char* text : {">Scale: 1 : 1000</text>", ">Land use: Residential</text>", ">and 143 more beacons (PDF sheet)</text>",
                           ">BK7</text>", "clip-path=\"url(#figure)\""})
    EXPECT_NE(svg.find(text), std::string::npos) << text;

  // The whole A4 page at 300 dpi.
  const std::string png = pl::render_sheet_png(c.plan, c.facts);
  ASSERT_GT(png.size(), 24u);
  const auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_EQ(be32(16), 3508u);
  EXPECT_EQ(be32(20), 2480u);
}

}  // namespace
