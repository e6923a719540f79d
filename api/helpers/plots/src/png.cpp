#include "png.hpp"

#include "page.hpp"
#include "row_deflate.hpp"

#include <glib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace printsvc::plots::detail {

namespace {

constexpr int max_strips = 4;
constexpr int min_strip_rows = 256;

// White, opaque or blank: both are white over white.
bool blank(std::uint32_t p) { return static_cast<std::uint32_t>(p + 1) <= 1; }

// How many pixels from `p` on (at most `count`) are opaque white, eight at a time.
int opaque_white_run(const std::uint32_t* p, int count) {
  int n = 0;
  for (; n + 8 <= count; n += 8) {
    std::uint64_t w[4];
    std::memcpy(w, p + n, sizeof w);
    if ((w[0] & w[1] & w[2] & w[3]) != ~std::uint64_t{0}) break;
  }
  return n;
}

// One row as the file holds it: the filter byte (none), then RGB of the pixels laid over white.
// Over white, a premultiplied colour c of alpha a becomes c + 255 - a exactly, as Cairo's own
// compositing gives it.
void row_over_white(const unsigned char* src, int width, unsigned char* dst) {
  const auto* px = reinterpret_cast<const std::uint32_t*>(src);
  *dst++ = 0;
  for (int x = 0; x < width;) {
    // Most of a page is white: whole runs at once.
    int end = x;
    end += opaque_white_run(px + end, width - end);
    while (end < width && blank(px[end])) ++end;
    if (end > x) {
      std::memset(dst, 0xff, static_cast<std::size_t>(end - x) * 3);
      dst += static_cast<std::size_t>(end - x) * 3;
      x = end;
      continue;
    }
    // Ink: converted up to the next blank pixel.
    for (; x < width && !blank(px[x]); ++x, dst += 3) {
      const std::uint32_t p = px[x];
      const std::uint32_t under = 255 - (p >> 24);
      dst[0] = static_cast<unsigned char>(((p >> 16) & 0xff) + under);
      dst[1] = static_cast<unsigned char>(((p >> 8) & 0xff) + under);
      dst[2] = static_cast<unsigned char>((p & 0xff) + under);
    }
  }
}

// A run of rows deflated on its own, ended on a byte boundary so that the strips join into one
// stream; its first row may still refer to the row before it, which the stream holds.
struct strip {
  int first_row = 0, end_row = 0;
  bool last = false;
  std::string deflated;
  std::uint32_t adler = 1;
  std::size_t raw_bytes = 0;
};

void deflate_strip(const raster& image, strip& s) {
  const std::size_t row_bytes = 1 + static_cast<std::size_t>(image.width) * 3;
  const std::size_t pixel_row_bytes = static_cast<std::size_t>(image.width) * 4;
  const auto* pixels = image.pixels.data();
  const auto source = [&](int y) { return pixels + static_cast<std::size_t>(y) * image.stride; };
  // The converted rows the deflater may still read: a row that repeats the one above is not
  // converted again but shares its bytes, so the buffers turn over only on conversion.
  constexpr std::size_t buffers = row_deflater::rows_kept + 2;
  std::vector<unsigned char> memory(buffers * row_bytes);
  std::size_t next_buffer = 0;
  const auto convert = [&](int y) {
    unsigned char* out = memory.data() + (next_buffer++ % buffers) * row_bytes;
    row_over_white(source(y), image.width, out);
    return out;
  };
  row_deflater deflater(row_bytes, 3);
  const unsigned char* above = s.first_row > 0 ? convert(s.first_row - 1) : nullptr;
  for (int y = s.first_row; y < s.end_row; ++y) {
    const bool repeats = y > 0 && above && std::memcmp(source(y), source(y - 1), pixel_row_bytes) == 0;
    const unsigned char* row = repeats ? above : convert(y);
    s.adler = libdeflate_adler32(s.adler, row, row_bytes);
    deflater.add_row(row, above);
    above = row;
  }
  s.deflated = deflater.finish(s.last);
  s.raw_bytes = static_cast<std::size_t>(s.end_row - s.first_row) * row_bytes;
}

void put_u32(std::string& out, std::uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

// A chunk whose data was already appended to `out` from `data_at` on.
void close_chunk(std::string& out, std::size_t type_at) {
  const std::size_t data_bytes = out.size() - type_at - 4;
  for (int i = 0; i < 4; ++i) out[type_at - 4 + i] = static_cast<char>(data_bytes >> (24 - 8 * i));
  put_u32(out, libdeflate_crc32(0, out.data() + type_at, out.size() - type_at));
}

std::size_t open_chunk(std::string& out, const char* type) {
  put_u32(out, 0);  // length, set by close_chunk
  const std::size_t at = out.size();
  out.append(type, 4);
  return at;
}

int strip_count(int height) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return std::clamp(std::min(cores, height / min_strip_rows), 1, max_strips);
}

}  // namespace

std::string encode_png(const raster& image) {
  if (image.width <= 0 || image.height <= 0) throw std::invalid_argument("PNG of an empty picture");
  const int n = strip_count(image.height);
  std::vector<strip> strips(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    strips[i].first_row = static_cast<int>(static_cast<long long>(image.height) * i / n);
    strips[i].end_row = static_cast<int>(static_cast<long long>(image.height) * (i + 1) / n);
    strips[i].last = i == n - 1;
  }
  // The first strip on this thread, the others beside it.
  std::vector<std::exception_ptr> failures(strips.size());
  const auto deflate_one = [&](std::size_t i) {
    try {
      deflate_strip(image, strips[i]);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  std::size_t on_helpers = 1;
  for (; on_helpers < strips.size(); ++on_helpers) {
    try {
      helpers.emplace_back(deflate_one, on_helpers);
    } catch (const std::system_error&) {
      break;  // no thread to be had: this thread deflates the rest
    }
  }
  deflate_one(0);
  for (std::size_t i = on_helpers; i < strips.size(); ++i) deflate_one(i);
  for (auto& t : helpers) t.join();
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);

  std::size_t deflated = 0;
  for (const auto& s : strips) deflated += s.deflated.size();
  std::string out;
  out.reserve(8 + 25 + 21 + 12 + 2 + deflated + 4 + 12);
  out.append("\x89PNG\r\n\x1a\n", 8);

  std::size_t at = open_chunk(out, "IHDR");
  put_u32(out, static_cast<std::uint32_t>(image.width));
  put_u32(out, static_cast<std::uint32_t>(image.height));
  out.append("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, adaptive filtering, no interlace
  close_chunk(out, at);

  at = open_chunk(out, "pHYs");
  const auto px_per_metre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));  // 11811
  put_u32(out, px_per_metre);
  put_u32(out, px_per_metre);
  out.push_back('\x01');  // per metre
  close_chunk(out, at);

  at = open_chunk(out, "IDAT");
  out.append("\x78\x5e", 2);  // zlib header: deflate, 32 KB window, fast
  uLong adler = strips[0].adler;
  out.append(strips[0].deflated);
  for (std::size_t i = 1; i < strips.size(); ++i) {
    adler = adler32_combine(adler, strips[i].adler, static_cast<z_off_t>(strips[i].raw_bytes));
    out.append(strips[i].deflated);
  }
  put_u32(out, static_cast<std::uint32_t>(adler));
  close_chunk(out, at);

  at = open_chunk(out, "IEND");
  close_chunk(out, at);
  return out;
}

std::string base64(const std::string& bytes) {
  const std::unique_ptr<gchar, decltype(&g_free)> text(
      g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()), &g_free);
  return text.get();
}

}  // namespace printsvc::plots::detail
