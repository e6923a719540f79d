// Real renders: the PNG file, its size, its colours, and calls from several threads.

#include "support.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <thread>

namespace {

using namespace plots_test;

json square_parcels() {
  const auto sq = square();
  return json::array({parcel(2, square(100, {100, 0})), parcel(1, sq, boundary_of(sq), "Plot 1", 10000)});
}

struct image {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

image decode_png(const std::string& png) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, png.data(), png.size())) throw std::runtime_error(img.message);
  img.format = PNG_FORMAT_RGB;
  image out{static_cast<int>(img.width), static_cast<int>(img.height), std::vector<std::uint8_t>(PNG_IMAGE_SIZE(img))};
  if (!png_image_finish_read(&img, nullptr, out.rgb.data(), 0, nullptr)) throw std::runtime_error(img.message);
  return out;
}

const std::uint8_t* at(const image& img, int x, int y) {
  return &img.rgb[(static_cast<std::size_t>(y) * img.width + x) * 3];
}

/// The pixel of a ground point (no label stands out of the page, so the crop starts at the page corner).
const std::uint8_t* at(const image& img, const pl::page_setup& page, pl::point p) {
  const double px_per_m = page.width_in * 300 / (page.window.xmax - page.window.xmin);
  return at(img, static_cast<int>(std::floor((p.x - page.window.xmin) * px_per_m)),
            static_cast<int>(std::floor((page.window.ymax - p.y) * px_per_m)));
}

void expect_colour(const std::uint8_t* px, std::array<int, 3> rgb, const char* what) {
  for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(px[c], rgb[c], 2) << what;
}

TEST(Render, ResultIsABase64PngOfTheNominalPageAt300DpiInItsLayersColours) {
  const auto result = pl::generate_plot(square_parcels(), 1, nullptr);
  EXPECT_EQ(result.scale, 1000);
  EXPECT_DOUBLE_EQ(result.size_mm.width, 265.92);
  EXPECT_DOUBLE_EQ(result.size_mm.height, 152);
  EXPECT_EQ(result.image64.find_first_of("\n\r"), std::string::npos);
  EXPECT_EQ(result.image64.size() % 4, 0u);
  gsize size = 0;
  guchar* bytes = g_base64_decode(result.image64.c_str(), &size);
  const std::string png(reinterpret_cast<const char*>(bytes), size);
  g_free(bytes);
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  // 300 dpi recorded as pixels per metre in pHYs.
  EXPECT_NE(png.find(std::string("pHYs\0\0\x2e\x23\0\0\x2e\x23", 12)), std::string::npos);
  const image img = decode_png(png);
  // No label stands out of the page here, so the crop is the page: 265.92 x 152 mm at 300 dpi.
  EXPECT_EQ(img.width, static_cast<int>(std::ceil(265.92 / 25.4 * 300)));
  EXPECT_EQ(img.height, static_cast<int>(std::ceil(152 / 25.4 * 300)));

  const auto page = layout(square_parcels(), 1).page;
  expect_colour(at(img, page, {50, 75}), {255, 217, 217}, "pink fill");  // clear of the labels
  expect_colour(at(img, page, {100, 38}), {255, 0, 0}, "red boundary");  // between the east side's labels
  expect_colour(at(img, page, {0, 0}), {0, 0, 0}, "black beacon");
  expect_colour(at(img, page, {150, 50}), {255, 255, 255}, "white neighbour");
  const auto* edge = at(img, page, {150, 0});  // the neighbour's south edge
  EXPECT_LT(edge[0], 160);
  EXPECT_EQ(edge[0], edge[2]);
}

TEST(Render, LabelsOutOfThePageEnlargeThePictureWithinBounds) {
  // A box exactly around the parcel puts the corner names outside the page area.
  const json box = {{"minx", 0}, {"maxx", 100}, {"miny", 0}, {"maxy", 100}, {"srid", 26332}};
  auto p = layout(square_parcels(), 1, nullptr, box);
  image img = decode_png(pl::render_png(p));
  EXPECT_GT(img.width, std::ceil(p.page.width_in * 300));
  EXPECT_GT(img.height, std::ceil(p.page.height_in * 300));
  expect_colour(at(img, 0, 0), {255, 255, 255}, "white beyond the page");

  // The beacons lie a kilometre from this 10 m box: their labels are cut two inches off the page.
  const json far = {{"minx", 1000}, {"maxx", 1010}, {"miny", 1000}, {"maxy", 1010}, {"srid", 26332}};
  p = layout(square_parcels(), 1, nullptr, far);
  img = decode_png(pl::render_png(p));
  EXPECT_LE(img.width, std::ceil(p.page.width_in * 300) + 600);
  EXPECT_LE(img.height, std::ceil(p.page.height_in * 300) + 600);

  // A centimetre box inside the parcel: its edges lie millions of pixels off the page.
  const json tiny = {{"minx", 50}, {"maxx", 50.01}, {"miny", 20}, {"maxy", 20.01}, {"srid", 26332}};
  img = decode_png(pl::render_png(layout(square_parcels(), 1, nullptr, tiny)));
  expect_colour(at(img, img.width / 2, img.height / 2), {255, 217, 217}, "pink fill");
  expect_colour(at(img, 5, 5), {255, 217, 217}, "pink fill");
}

TEST(Render, ConcurrentCallsGiveIdenticalBytes) {
  const json parcels = square_parcels();
  const json roads = json::array({road({{-100, -10}, {300, -10}})});
  const std::string reference = pl::generate_plot(parcels, 1, roads).image64;
  std::vector<std::string> results(8);
  std::vector<std::thread> pool;
  for (int t = 0; t < 4; ++t)
    pool.emplace_back([&, t] {
      for (int i = 0; i < 2; ++i) results[t * 2 + i] = pl::generate_plot(parcels, 1, roads).image64;
    });
  for (auto& th : pool) th.join();
  for (const auto& r : results) EXPECT_TRUE(r == reference);
}

}  // namespace
