// Real renders: the PNG file, its size, its colours, and calls from several threads.

#include "support.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace {

using namespace plots_test;

json square_parcels() {
  const auto sq = square();
  return json::array({parcel(2, square(100, {100, 0})), parcel(1, sq, boundary_of(sq), "Plot 1", 10000)});
}

std::string decode_base64(const std::string& text) {
  gsize size = 0;
  guchar* bytes = g_base64_decode(text.c_str(), &size);
  std::string out(reinterpret_cast<const char*>(bytes), size);
  g_free(bytes);
  return out;
}

void expect_colour(const image& img, int x, int y, int r, int g, int b, const char* what) {
  const auto* px = img.at(x, y);
  EXPECT_NEAR(px[0], r, 2) << what << " at " << x << "," << y;
  EXPECT_NEAR(px[1], g, 2) << what << " at " << x << "," << y;
  EXPECT_NEAR(px[2], b, 2) << what << " at " << x << "," << y;
}

TEST(Render, ResultIsABase64PngOfTheNominalPageAt300Dpi) {
  const auto result = pl::generate_plot(square_parcels(), 1, nullptr);
  EXPECT_EQ(result.scale, 1000);
  EXPECT_DOUBLE_EQ(result.size_mm.width, 265.92);
  EXPECT_DOUBLE_EQ(result.size_mm.height, 152);
  EXPECT_EQ(result.image64.find_first_of("\n\r"), std::string::npos);
  EXPECT_EQ(result.image64.size() % 4, 0u);

  const std::string png = decode_base64(result.image64);
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  const image img = decode_png(png);
  // No label stands out of the page here, so the crop is the page: 265.92 x 152 mm at 300 dpi.
  EXPECT_EQ(img.width, static_cast<int>(std::ceil(265.92 / 25.4 * 300)));
  EXPECT_EQ(img.height, static_cast<int>(std::ceil(152 / 25.4 * 300)));
  EXPECT_EQ(img.ppm_x, 11811u);
  EXPECT_EQ(img.ppm_y, 11811u);
}

TEST(Render, LayersShowTheirColours) {
  const auto p = layout(square_parcels(), 1);
  const image img = decode_png(pl::render_png(p));
  int x = 0, y = 0;
  to_pixel(p.page, {50, 75}, x, y);  // inside the parcel, clear of its labels
  expect_colour(img, x, y, 255, 217, 217, "pink fill");
  to_pixel(p.page, {100, 38}, x, y);  // on the east side, between its bearing and length labels
  expect_colour(img, x, y, 255, 0, 0, "red boundary");
  to_pixel(p.page, {0, 0}, x, y);  // a beacon
  expect_colour(img, x, y, 0, 0, 0, "black beacon");
  to_pixel(p.page, {150, 50}, x, y);  // inside the neighbour
  expect_colour(img, x, y, 255, 255, 255, "white neighbour");
  to_pixel(p.page, {150, 0}, x, y);  // the neighbour's south edge
  const auto* edge = img.at(x, y);
  EXPECT_LT(edge[0], 160);
  EXPECT_EQ(edge[0], edge[2]);
}

TEST(Render, LabelsStandingOutOfThePageEnlargeThePicture) {
  // A box exactly around the parcel puts the corner names outside the page area.
  const json box = {{"minx", 0}, {"maxx", 100}, {"miny", 0}, {"maxy", 100}, {"srid", 26332}};
  const auto p = layout(square_parcels(), 1, nullptr, box);
  const image img = decode_png(pl::render_png(p));
  EXPECT_GT(img.width, std::ceil(p.page.width_in * 300));
  EXPECT_GT(img.height, std::ceil(p.page.height_in * 300));
  expect_colour(img, 0, 0, 255, 255, 255, "white beyond the page");
}

TEST(Render, LabelsFarOutsideABoxDoNotMakeThePictureUnbounded) {
  // The beacons lie a kilometre from this 10 m box: their labels are cut two inches off the page.
  const json box = {{"minx", 1000}, {"maxx", 1010}, {"miny", 1000}, {"maxy", 1010}, {"srid", 26332}};
  const auto p = layout(square_parcels(), 1, nullptr, box);
  const image img = decode_png(pl::render_png(p));
  EXPECT_LE(img.width, std::ceil(p.page.width_in * 300) + 600);
  EXPECT_LE(img.height, std::ceil(p.page.height_in * 300) + 600);

  // A centimetre box inside the parcel: its edges lie millions of pixels off the page.
  const json tiny = {{"minx", 50}, {"maxx", 50.01}, {"miny", 20}, {"maxy", 20.01}, {"srid", 26332}};
  const image inside = decode_png(pl::render_png(layout(square_parcels(), 1, nullptr, tiny)));
  expect_colour(inside, inside.width / 2, inside.height / 2, 255, 217, 217, "pink fill");
  expect_colour(inside, 5, 5, 255, 217, 217, "pink fill");
}

TEST(Render, ConcurrentCallsGiveIdenticalBytes) {
  const json parcels = square_parcels();
  const json roads = json::array({road({{-100, -10}, {300, -10}})});
  const std::string reference = pl::generate_plot(parcels, 1, roads).image64;
  constexpr int threads = 4;
  std::vector<std::string> results(threads * 2);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int i = 0; i < 2; ++i) results[t * 2 + i] = pl::generate_plot(parcels, 1, roads).image64;
    });
  for (auto& th : pool) th.join();
  for (const auto& r : results) EXPECT_TRUE(r == reference);
}

}  // namespace
