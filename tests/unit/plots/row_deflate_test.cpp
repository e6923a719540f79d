// The plan pages' deflate: whatever the rows hold, zlib must inflate exactly them, also when
// strips deflated apart are joined into one stream; and its Huffman codes must stay within
// the lengths the format allows.

#include "row_deflate.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using printsvc::plots::detail::huffman_code_lengths;
using printsvc::plots::detail::row_deflater;
using rows = std::vector<std::vector<unsigned char>>;

std::string inflate_raw(const std::string& deflated, std::size_t expected_size) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out(expected_size + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  z.avail_in = static_cast<uInt>(deflated.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << (z.msg ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "bytes left after the final block";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Deflates `r` in `strips` parts, each on its own deflater as the PNG encoder does, joined.
std::string deflate_in_strips(const rows& r, std::size_t strips) {
  std::string stream;
  for (std::size_t s = 0; s < strips; ++s) {
    const std::size_t first = r.size() * s / strips, end = r.size() * (s + 1) / strips;
    row_deflater d(r[0].size(), 3);
    for (std::size_t y = first; y < end; ++y) d.add_row(r[y].data(), y > 0 ? r[y - 1].data() : nullptr);
    stream += d.finish(s + 1 == strips);
  }
  return stream;
}

std::string concatenated(const rows& r) {
  std::string all;
  for (const auto& row : r) all.append(row.begin(), row.end());
  return all;
}

// A page-like picture: white, a slanted line, a vertical one, dashes, a band of noise ("text")
// and rows that repeat the one above.
rows page_like(std::size_t width, std::size_t height, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::size_t row_bytes = 1 + 3 * width;
  rows r(height, std::vector<unsigned char>(row_bytes, 0xff));
  for (std::size_t y = 0; y < height; ++y) {
    auto& row = r[y];
    row[0] = 0;
    if (y % 7 == 3 && y > 0) {
      row = r[y - 1];
      continue;
    }
    const auto put = [&](std::size_t x, unsigned char v) {
      if (x < width) row[1 + 3 * x] = row[2 + 3 * x] = row[3 + 3 * x] = v;
    };
    put((y * 2) % width, 0x40);
    put((y * 2 + 1) % width, 0x90);
    put(width / 2, 0);
    if (y % 10 < 3)
      for (std::size_t x = 0; x < width; x += 9) put(x, 0x20);
    if (y > height / 3 && y < height / 3 + 12)
      for (std::size_t x = width / 4; x < width / 4 + 40 && x < width; ++x) row[1 + 3 * x + rng() % 3] = rng() & 0xff;
  }
  return r;
}

TEST(RowDeflate, InflatesToTheSameRowsWhateverTheyHoldAndHoweverSplit) {
  struct picture {
    const char* what;
    rows r;
  };
  std::mt19937 rng(7);
  rows noise(20, std::vector<unsigned char>(301));
  for (auto& row : noise) std::generate(row.begin(), row.end(), [&] { return static_cast<unsigned char>(rng()); });
  rows all_white(300, std::vector<unsigned char>(3 * 700 + 1, 0xff));
  rows tiny(5, std::vector<unsigned char>{0});  // rows of one byte: nothing to match
  rows two(4, std::vector<unsigned char>{0, 9});
  // Wider than the window: the row above is out of reach.
  rows wide = page_like(12000, 12, 3);
  const std::vector<picture> pictures{{"page", page_like(900, 260, 1)},
                                      {"noise", noise},
                                      {"white", all_white},
                                      {"one-byte rows", tiny},
                                      {"two-byte rows", two},
                                      {"rows wider than the window", wide}};
  for (const auto& [what, r] : pictures) {
    const std::string raw = concatenated(r);
    for (const std::size_t strips : {1, 2, 3}) {
      if (strips > r.size()) continue;
      const std::string deflated = deflate_in_strips(r, strips);
      EXPECT_TRUE(inflate_raw(deflated, raw.size()) == raw) << what << ", " << strips << " strips";
    }
  }
  // What plan pages are made of compresses: the white page to almost nothing.
  EXPECT_LT(deflate_in_strips(all_white, 1).size(), 2000u);
  EXPECT_LT(deflate_in_strips(page_like(900, 260, 1), 2).size(), concatenated(page_like(900, 260, 1)).size() / 20);
}

TEST(RowDeflate, HuffmanCodesStayWithinTheirLengthAndAreComplete) {
  // Fibonacci weights make the deepest possible tree: 30 symbols would need 29 bits.
  std::vector<std::uint32_t> fibonacci(30);
  fibonacci[0] = fibonacci[1] = 1;
  for (std::size_t i = 2; i < fibonacci.size(); ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
  std::vector<std::uint32_t> one_used(19, 0);
  one_used[5] = 40;
  const std::vector<std::uint32_t> none_used(30, 0);
  std::vector<std::uint32_t> skewed(286, 1);
  skewed[255] = 5'000'000;
  for (const auto& [freq, max_length] : std::vector<std::pair<std::vector<std::uint32_t>, unsigned>>{
           {fibonacci, 15}, {fibonacci, 7}, {one_used, 7}, {none_used, 15}, {skewed, 15}}) {
    const auto lengths = huffman_code_lengths(freq, max_length);
    double kraft = 0;
    for (std::size_t s = 0; s < freq.size(); ++s) {
      EXPECT_LE(lengths[s], max_length);
      if (freq[s]) {
        EXPECT_GT(lengths[s], 0) << "a used symbol without a code";
      }
      if (lengths[s]) kraft += 1.0 / static_cast<double>(1u << lengths[s]);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0) << "the code must be complete";
  }
  // Commoner symbols never get longer codes.
  const auto lengths = huffman_code_lengths(fibonacci, 15);
  for (std::size_t i = 1; i < fibonacci.size(); ++i) EXPECT_LE(lengths[i], lengths[i - 1]);
}

}  // namespace
