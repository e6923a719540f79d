// PDF and SVG plans: an A4 landscape page, the figure at true scale, the texts kept as text.
// The PDF is read back with poppler's pdfinfo, pdffonts and pdftotext; the SVG with GLib's
// XML parser.

#include "poppler.hpp"
#include "support.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace plots_test;

// The square parcel of support.hpp with the bearing of its south side (P1 to P2, running east)
// printed "11" and "22": the two labels sit a quarter and three quarters along the side, so
// their centres are half the side apart.
json square_with_marked_side() {
  const auto sq = square();
  json boundary = boundary_of(sq);
  boundary[0]["bearing_deg_to_next"] = 11;
  boundary[0]["bearing_min_to_next"] = 22;
  return json::array({parcel(2, square(100, {100, 0})), parcel(1, sq, boundary, "Plot 1", 10000)});
}

void expect_half_side_apart(const std::string& pdf, double side_mm, const std::string& what) {
  const auto words = words_of(saved(pdf, "plan.pdf"));
  ASSERT_EQ(words.count("11"), 1u) << what;
  ASSERT_EQ(words.count("22"), 1u) << what;
  const word deg = words.find("11")->second, min = words.find("22")->second;
  const double apart_mm = ((min.x_min + min.x_max) / 2 - (deg.x_min + deg.x_max) / 2) / pt_per_mm;
  EXPECT_NEAR(apart_mm, side_mm / 2, 0.05) << what;
  EXPECT_NEAR((deg.y_min + deg.y_max) / 2, (min.y_min + min.y_max) / 2, 0.05 * pt_per_mm) << what;
}

TEST(PdfPlan, A4LandscapeWithEmbeddedFontsAndSelectableTexts) {
  if (!have("pdfinfo") || !have("pdftotext") || !have("pdffonts")) GTEST_SKIP() << "poppler-utils is not installed";
  const auto p = layout(square_with_marked_side(), 1);
  const std::string path = saved(pl::render_pdf(p), "plan.pdf");
  const std::string info = run("pdfinfo '" + path + "'");
  EXPECT_NE(info.find("Pages:           1"), std::string::npos) << info;
  EXPECT_NE(info.find("Page size:       841.89 x 595.276 pts (A4)"), std::string::npos) << info;
  const std::string fonts = run("pdffonts '" + path + "'");
  EXPECT_NE(fonts.find("DejaVuSerif "), std::string::npos) << fonts;
  EXPECT_EQ(fonts.find(" no "), std::string::npos) << "every font embedded and subset:\n" << fonts;
  const auto words = words_of(path);
  for (const char* text : {"Plot", "10000.00m²", "100.00m", "P1", "P2", "P3", "P4", "45", "30"})
    EXPECT_GT(words.count(text), 0u) << text;
  EXPECT_EQ(words.count("100.00m"), 4u);
}

TEST(PdfPlan, TrueScaleInParcelAndBoundingBoxMode) {
  if (!have("pdftotext")) GTEST_SKIP() << "poppler-utils is not installed";
  // 1:1000: the 100 m side is 100 mm on paper, so its two bearing labels are 50 mm apart.
  const auto parcel_mode = layout(square_with_marked_side(), 1);
  ASSERT_EQ(parcel_mode.page.scale, 1000);
  expect_half_side_apart(pl::render_pdf(parcel_mode), 100, "parcel mode");
  // The raster of a box is stretched to the page area; on the PDF page it keeps 1:scale.
  const json box = {{"minx", -10}, {"maxx", 150}, {"miny", -20}, {"maxy", 120}, {"srid", 26332}};
  const auto box_mode = layout(square_with_marked_side(), 1, nullptr, box);
  ASSERT_EQ(box_mode.page.scale, 1000);
  ASSERT_NEAR(box_mode.page.target_height_mm, 152, 1e-9);  // the raster's 140 m are 152 mm tall
  expect_half_side_apart(pl::render_pdf(box_mode), 100, "bounding-box mode");
}

TEST(PdfPlan, BookHasAPageForEachPlanAndNotice) {
  if (!have("pdfinfo") || !have("pdftotext")) GTEST_SKIP() << "poppler-utils is not installed";
  pl::pdf_book book;
  book.add(layout(square_with_marked_side(), 1));
  // A plan abandoned at its time limit leaves no page, and nothing on the next one.
  EXPECT_THROW(book.add(layout(square_with_marked_side(), 1), std::chrono::milliseconds(0)), pl::render_timeout_error);
  book.add_notice("No plan for page 2: Plot 7 not found");
  book.add(layout(square_with_marked_side(), 1, nullptr, json{{"minx", 0}, {"maxx", 50}, {"miny", 0}, {"maxy", 50}, {"srid", 26332}}));
  EXPECT_EQ(book.pages(), 3u);
  const std::string path = saved(book.finish(), "book.pdf");
  EXPECT_NE(run("pdfinfo '" + path + "'").find("Pages:           3"), std::string::npos);
  const std::string notice = run("pdftotext -f 2 -l 2 '" + path + "' -");
  EXPECT_NE(notice.find("Plot 7 not found"), std::string::npos);
  EXPECT_EQ(notice.find("100.00m"), std::string::npos) << notice;
}

// The SVG's elements, and the text of each <text>.
struct svg_content {
  std::map<std::string, int> elements;
  std::vector<std::string> texts;
  std::string root_width;
  bool in_text = false;
};

svg_content parse_svg(const std::string& svg) {
  GMarkupParser parser{};
  parser.start_element = [](GMarkupParseContext*, const gchar* name, const gchar** names, const gchar** values,
                            gpointer data, GError**) {
    auto* c = static_cast<svg_content*>(data);
    ++c->elements[name];
    if (std::string(name) == "svg")
      for (int i = 0; names[i]; ++i)
        if (std::string(names[i]) == "width") c->root_width = values[i];
    if (std::string(name) == "text") {
      c->in_text = true;
      c->texts.emplace_back();
    }
  };
  parser.end_element = [](GMarkupParseContext*, const gchar* name, gpointer data, GError**) {
    if (std::string(name) == "text") static_cast<svg_content*>(data)->in_text = false;
  };
  parser.text = [](GMarkupParseContext*, const gchar* text, gsize len, gpointer data, GError**) {
    auto* c = static_cast<svg_content*>(data);
    if (c->in_text) c->texts.back().append(text, len);
  };
  svg_content out;
  GMarkupParseContext* ctx = g_markup_parse_context_new(&parser, GMarkupParseFlags(0), &out, nullptr);
  GError* error = nullptr;
  const bool ok = g_markup_parse_context_parse(ctx, svg.data(), static_cast<gssize>(svg.size()), &error) &&
                  g_markup_parse_context_end_parse(ctx, &error);
  g_markup_parse_context_free(ctx);
  if (!ok) {
    const std::string message = error ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error("SVG does not parse: " + message);
  }
  return out;
}

TEST(SvgPlan, ParsesAsXmlWithEveryLabelAsText) {
  json parcels = square_with_marked_side();
  parcels[1]["name"] = "Lot <7> & \"8\"";
  const auto p = layout(parcels, 1);
  const svg_content svg = parse_svg(pl::render_svg(p));
  EXPECT_EQ(svg.root_width, "297mm");
  std::size_t text_items = 0;
  for (const auto& item : p.items) text_items += std::holds_alternative<pl::text_shape>(item.shape);
  EXPECT_EQ(svg.texts.size(), text_items);
  const auto has = [&](const std::string& t) { return std::find(svg.texts.begin(), svg.texts.end(), t) != svg.texts.end(); };
  EXPECT_TRUE(has("Lot <7> & \"8\""));
  EXPECT_TRUE(has("10000.00m²"));
  EXPECT_TRUE(has("P3"));
  EXPECT_TRUE(has("11"));
  EXPECT_EQ(svg.elements.at("circle"), 4);  // the beacons
}

TEST(VectorPlans, TimeLimitHolds) {
  const auto p = layout(square_with_marked_side(), 1);
  EXPECT_THROW(pl::render_pdf(p, std::chrono::milliseconds(0)), pl::render_timeout_error);
  EXPECT_THROW(pl::render_svg(p, std::chrono::milliseconds(0)), pl::render_timeout_error);
}

}  // namespace
