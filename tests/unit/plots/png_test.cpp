// The PNG encoder against the previous one (Cairo's compositing onto white, then libpng): the
// same pixels to the last bit and no larger files, on every example plan and on pictures
// enlarged by labels standing out of the page.

#include "png.hpp"
#include "render.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace plots_test;

struct decoded {
  unsigned width = 0, height = 0;
  std::vector<unsigned char> rgb;
};

decoded decode(const std::string& file) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, file.data(), file.size())) throw std::runtime_error(img.message);
  img.format = PNG_FORMAT_RGB;
  decoded out{img.width, img.height, std::vector<unsigned char>(PNG_IMAGE_SIZE(img))};
  if (!png_image_finish_read(&img, nullptr, out.rgb.data(), 0, nullptr)) throw std::runtime_error(img.message);
  return out;
}

void expect_same_as_previous_encoder(const pl::plan& p, const std::string& what) {
  const auto image = pl::detail::draw_plan(p);
  const std::string now = pl::detail::encode_png(image);
  const auto flat = pl::detail::flatten_on_white(image);
  const std::string before = pl::detail::encode_png_libpng(flat.get());
  const decoded a = decode(now), b = decode(before);
  EXPECT_EQ(a.width, b.width) << what;
  EXPECT_EQ(a.height, b.height) << what;
  EXPECT_TRUE(a.rgb == b.rgb) << what << ": decoded pixels differ";
  EXPECT_LE(now.size(), before.size()) << what;
  // 300 dpi recorded, as before.
  EXPECT_NE(now.find(std::string("pHYs\0\0\x2e\x23\0\0\x2e\x23\x01", 13)), std::string::npos) << what;
}

TEST(PngEncoder, SamePixelsAndNoLargerOnEveryExample) {
  for (const char* name : {"small_parcel_500", "heptagon_1000", "large_parcel_5000"})
    expect_same_as_previous_encoder(example_plan(name), name);
}

TEST(PngEncoder, SamePixelsWhereLabelsStandOutOfThePage) {
  const auto sq = square();
  const json parcels = json::array({parcel(2, square(100, {100, 0})), parcel(1, sq, boundary_of(sq), "Plot 1", 1e4)});
  const json box = {{"minx", 0}, {"maxx", 100}, {"miny", 0}, {"maxy", 100}, {"srid", 26332}};
  expect_same_as_previous_encoder(layout(parcels, 1, nullptr, box), "box around the parcel");
  const json wide = {{"minx", -20}, {"maxx", 400}, {"miny", 40}, {"maxy", 60}, {"srid", 26332}};
  expect_same_as_previous_encoder(layout(parcels, 1, nullptr, wide), "narrow strip");
}

// Pictures are drawn into memory kept per thread: plans drawn one after another on one thread,
// and on several at once, must not show through each other.
TEST(PngEncoder, ReusedPixelMemoryLeavesNoTrace) {
  const pl::plan large = example_plan("large_parcel_5000");
  const pl::plan small = example_plan("small_parcel_500");
  std::string expected;
  std::thread([&] { expected = pl::render_png(small); }).join();  // a new thread: fresh memory
  {
    // Memory full of junk as this thread's spare: only what the page covers may stay unwritten.
    auto junk = pl::detail::pixel_buffer::take(40u << 20);
    std::memset(junk.data(), 0x5a, junk.size());
  }
  EXPECT_TRUE(pl::render_png(small) == expected);
  pl::render_png(large);
  EXPECT_TRUE(pl::render_png(small) == expected);
  {
    const auto held = pl::detail::draw_plan(large);  // one picture still held while drawing another
    EXPECT_TRUE(pl::render_png(small) == expected);
  }
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] { results[i] = pl::render_png(i % 2 ? large : small), results[i] = pl::render_png(small); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_TRUE(r == expected);
}

}  // namespace
