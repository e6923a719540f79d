// Real renders: the PNG file, its size, its colours, and calls from several threads.

#include "support.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
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

/// Where a ground point lies in the picture, in pixels from its top left corner (no label stands
/// out of the page, so the crop starts at the page corner).
pl::point picture_position(const pl::page_setup& page, pl::point p) {
  const double px_per_m = page.width_in * 300 / (page.window.xmax - page.window.xmin);
  return {(p.x - page.window.xmin) * px_per_m, (page.window.ymax - p.y) * px_per_m};
}

/// The pixel of a ground point.
const std::uint8_t* at(const image& img, const pl::page_setup& page, pl::point p) {
  const pl::point px = picture_position(page, p);
  return at(img, static_cast<int>(std::floor(px.x)), static_cast<int>(std::floor(px.y)));
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
  // No label stands out of the page here, so the crop is the page: 265.92 x 152 mm at 300 dpi
  // (3140.8 x 1795.3 px) cut to whole pixels.
  EXPECT_EQ(img.width, 3140);
  EXPECT_EQ(img.height, 1795);

  const auto page = layout(square_parcels(), 1).page;
  expect_colour(at(img, page, {50, 75}), {255, 217, 217}, "pink fill");  // clear of the labels
  expect_colour(at(img, page, {100, 38}), {255, 0, 0}, "red boundary");  // between the east side's labels
  expect_colour(at(img, page, {0, 0}), {0, 0, 0}, "black beacon");
  expect_colour(at(img, page, {150, 50}), {255, 255, 255}, "white neighbour");
  const auto* edge = at(img, page, {150, 0});  // the neighbour's south edge
  EXPECT_LT(edge[0], 160);
  EXPECT_EQ(edge[0], edge[2]);
}

TEST(Render, ExamplesAreTheirPageCutToWholePixels) {
  for (const char* name : {"small_parcel_500", "heptagon_1000", "large_parcel_5000"}) {
    const image img = decode_png(pl::render_png(example_plan(name)));
    EXPECT_EQ(img.width, 3140) << name;
    EXPECT_EQ(img.height, 1795) << name;
  }
}

/// The plan's page with only `items` on it.
image render_items(std::vector<pl::display_item> items) {
  auto p = layout(square_parcels(), 1);
  p.items = std::move(items);
  return decode_png(pl::render_png(p));
}

double darkness(const std::uint8_t* px) { return (255 - px[1]) / 255.0; }  // black, grey or white only

TEST(Render, BeaconsAreThreePointDiscsCentredOnTheirBeacons) {
  const auto plan = layout(square_parcels(), 1);
  std::vector<pl::display_item> beacons;
  std::vector<pl::point> centres;
  for (const auto& item : plan.items)
    if (item.kind == pl::item_kind::beacon) {
      beacons.push_back(item);
      centres.push_back(picture_position(plan.page, std::get<pl::marker_shape>(item.shape).at));
    }
  ASSERT_EQ(beacons.size(), 4u);
  const image img = render_items(beacons);

  // Every pixel's ink goes to its nearest beacon: each disc's area and centroid.
  std::vector<double> area(centres.size()), sum_x(centres.size()), sum_y(centres.size());
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const double ink = darkness(at(img, x, y));
      if (ink == 0) continue;
      const auto nearest = std::min_element(centres.begin(), centres.end(), [&](pl::point a, pl::point b) {
                             return std::hypot(a.x - x - 0.5, a.y - y - 0.5) < std::hypot(b.x - x - 0.5, b.y - y - 0.5);
                           }) - centres.begin();
      area[nearest] += ink, sum_x[nearest] += ink * (x + 0.5), sum_y[nearest] += ink * (y + 0.5);
    }
  for (std::size_t i = 0; i < centres.size(); ++i) {
    // A 2 pt disc and its 1 pt edge: 3 pt across, 12.5 px at 300 dpi.
    EXPECT_NEAR(2 * std::sqrt(area[i] / std::numbers::pi), 12.5, 0.2) << "beacon " << i;
    EXPECT_NEAR(sum_x[i] / area[i], centres[i].x, 0.1) << "beacon " << i;
    EXPECT_NEAR(sum_y[i] / area[i], centres[i].y, 0.1) << "beacon " << i;
  }
}

// A label is centred on the box from the top of its font's tall letters to the bottom of its
// descenders, whatever letters it holds. "lp" fills that box with ink, so its ink is centred on
// the anchor, and "l" alone keeps the same top. Measured across the text: down the page for an
// upright label, along it for one turned by 90 degrees.
TEST(Render, LabelsCentreTheirLineOnTheAnchor) {
  const auto page = layout(square_parcels(), 1).page;
  const pl::point anchor{50, 50};
  const pl::point anchor_px = picture_position(page, anchor);
  // Pixel edges of the ink at least half dark, across the text: the side its tops face first.
  const auto across = [&](const std::string& text, double size, pl::font_weight weight, double rotation) {
    const image img = render_items({{pl::item_kind::parcel_name, 4, pl::text_shape{anchor, text, size, weight, rotation}}});
    int first = -1, last = -1;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x)
        if (darkness(at(img, x, y)) >= 0.5) {
          const int pos = rotation == 0 ? y : x;
          if (first < 0 || pos < first) first = pos;
          last = std::max(last, pos);
        }
    return std::pair<double, double>{first, last + 1.0};
  };
  struct label_case {
    double size;
    pl::font_weight weight;
    double rotation;
  };
  for (const auto& c : {label_case{8, pl::font_weight::normal, 0}, label_case{16, pl::font_weight::bold, 0},
                        label_case{16, pl::font_weight::bold, 90}}) {
    const auto lp = across("lp", c.size, c.weight, c.rotation), l = across("l", c.size, c.weight, c.rotation);
    EXPECT_NEAR((lp.first + lp.second) / 2, c.rotation == 0 ? anchor_px.y : anchor_px.x, 1)
        << c.size << " pt at " << c.rotation;
    EXPECT_NEAR(l.first, lp.first, 1) << c.size << " pt at " << c.rotation;
  }
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
