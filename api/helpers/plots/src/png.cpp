#include "png.hpp"

#include "page.hpp"

#include <glib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace printsvc::plots::detail {

namespace {

// A plan page is mostly white: unfiltered rows compress about as well as filtered ones (a few
// hundred kilobytes) in half the time. zlib level 2 takes the time of level 1 and saves about 1 %,
// more than the strips' joins cost. libdeflate is no faster than zlib on such long runs; what it
// does far quicker is the checksum.
constexpr int zlib_level = 2;
// The most memory zlib offers: longer blocks between Huffman tables, which more than pays for
// the few bytes where the strips join.
constexpr int mem_level = 8;
constexpr std::size_t window_bytes = 32768;
constexpr int max_strips = 4;
constexpr int min_strip_rows = 256;

// One row as the file holds it: the filter byte (none), then RGB of the pixels laid over white.
// Over white, a premultiplied colour c of alpha a becomes c + 255 - a exactly, as Cairo's own
// compositing gives it.
void row_over_white(const unsigned char* src, int width, unsigned char* dst) {
  const auto* px = reinterpret_cast<const std::uint32_t*>(src);
  *dst++ = 0;
  for (int x = 0; x < width; ++x, dst += 3) {
    const std::uint32_t p = px[x];
    const std::uint32_t under = 255 - (p >> 24);
    dst[0] = static_cast<unsigned char>(((p >> 16) & 0xff) + under);
    dst[1] = static_cast<unsigned char>(((p >> 8) & 0xff) + under);
    dst[2] = static_cast<unsigned char>((p & 0xff) + under);
  }
}

// A run of rows deflated on its own: primed with the window before it, so that it compresses as
// if the stream had run on, and ended on a byte boundary so that the strips join.
struct strip {
  int first_row = 0, end_row = 0;
  bool last = false;
  std::string deflated;
  std::uint32_t adler = 1;
  std::size_t raw_bytes = 0;
};

struct deflater {
  z_stream z{};
  deflater() {
    if (deflateInit2(&z, zlib_level, Z_DEFLATED, -15, mem_level, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::runtime_error("PNG encoder could not be created");
  }
  ~deflater() { deflateEnd(&z); }
  deflater(const deflater&) = delete;
  deflater& operator=(const deflater&) = delete;

  void run(std::string& out, const unsigned char* in, std::size_t size, int flush) {
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(size);
    do {
      if (out.size() == out.capacity()) out.reserve(out.capacity() * 2 + 65536);
      const std::size_t used = out.size();
      out.resize(out.capacity());
      z.next_out = reinterpret_cast<unsigned char*>(out.data() + used);
      z.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - used, 1u << 30));
      const int rc = deflate(&z, flush);
      out.resize(out.size() - z.avail_out);
      if (rc == Z_STREAM_ERROR) throw std::runtime_error("PNG encoding failed");
      if (flush == Z_FINISH ? rc == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0)) break;
    } while (true);
  }
};

void deflate_strip(const raster& image, strip& s) {
  const std::size_t row_bytes = 1 + static_cast<std::size_t>(image.width) * 3;
  const auto* pixels = image.pixels.data();
  std::vector<unsigned char> row(row_bytes);
  deflater d;
  s.deflated.reserve(64 * 1024);
  if (s.first_row > 0) {
    const int back = static_cast<int>(std::min<std::size_t>((window_bytes + row_bytes - 1) / row_bytes,
                                                            static_cast<std::size_t>(s.first_row)));
    std::vector<unsigned char> window(static_cast<std::size_t>(back) * row_bytes);
    for (int i = 0; i < back; ++i)
      row_over_white(pixels + static_cast<std::size_t>(s.first_row - back + i) * image.stride, image.width,
                     window.data() + static_cast<std::size_t>(i) * row_bytes);
    const std::size_t keep = std::min(window.size(), window_bytes);
    if (deflateSetDictionary(&d.z, window.data() + window.size() - keep, static_cast<uInt>(keep)) != Z_OK)
      throw std::runtime_error("PNG encoding failed");
  }
  for (int y = s.first_row; y < s.end_row; ++y) {
    row_over_white(pixels + static_cast<std::size_t>(y) * image.stride, image.width, row.data());
    s.adler = libdeflate_adler32(s.adler, row.data(), row.size());
    d.run(s.deflated, row.data(), row.size(), Z_NO_FLUSH);
  }
  d.run(s.deflated, nullptr, 0, s.last ? Z_FINISH : Z_SYNC_FLUSH);
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
