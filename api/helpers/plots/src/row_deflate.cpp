#include "row_deflate.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace printsvc::plots::detail {

namespace {

constexpr std::size_t min_match = 3, max_match = 258, window = 32768;
constexpr std::size_t block_tokens = 32768;
constexpr unsigned hash_bits = 15;
constexpr unsigned end_of_block = 256;
constexpr std::size_t literal_symbols = 286, distance_symbols = 30, length_symbols = 19;

constexpr std::array<std::uint16_t, 29> length_base{3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> length_extra{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> distance_base{1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                      33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                      1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> distance_extra{0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a block header gives the lengths of the code-length code.
constexpr std::array<std::uint8_t, 19> length_code_order{16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length 3..258 -> index into length_base.
const std::array<std::uint8_t, max_match + 1>& length_index() {
  static const auto table = [] {
    std::array<std::uint8_t, max_match + 1> t{};
    for (std::size_t len = min_match; len <= max_match; ++len) {
      std::size_t i = length_base.size() - 1;
      while (length_base[i] > len) --i;
      t[len] = static_cast<std::uint8_t>(i);
    }
    return t;
  }();
  return table;
}

// Distance 1..32768 -> index into distance_base.
unsigned distance_index(std::size_t distance) {
  static const auto table = [] {
    std::vector<std::uint8_t> t(window + 1, 0);
    for (std::size_t d = 1; d <= window; ++d) {
      const auto it = std::upper_bound(distance_base.begin(), distance_base.end(), d);
      t[d] = static_cast<std::uint8_t>(it - distance_base.begin() - 1);
    }
    return t;
  }();
  return table[distance];
}

// How many bytes from `a` equal those from `b`, at most `limit`. The ranges may overlap.
std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t limit) {
  std::size_t n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (const std::uint64_t diff = x ^ y) return n + static_cast<std::size_t>(__builtin_ctzll(diff) / 8);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

std::uint32_t hash4(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return (v * 2654435761u) >> (32 - hash_bits);
}

// Canonical codes (RFC 1951 3.2.2), bit-reversed for writing least significant bit first.
std::vector<std::uint16_t> canonical_codes(const std::vector<std::uint8_t>& lengths) {
  std::array<std::uint16_t, 16> count{}, next{};
  for (const auto len : lengths)
    if (len) ++count[len];
  std::uint16_t code = 0;
  for (unsigned bits = 1; bits < 16; ++bits) {
    code = static_cast<std::uint16_t>((code + count[bits - 1]) << 1);
    next[bits] = code;
  }
  std::vector<std::uint16_t> codes(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const unsigned len = lengths[s];
    if (!len) continue;
    unsigned c = next[len]++, reversed = 0;
    for (unsigned b = 0; b < len; ++b, c >>= 1) reversed = (reversed << 1) | (c & 1);
    codes[s] = static_cast<std::uint16_t>(reversed);
  }
  return codes;
}

struct length_code_item {
  std::uint8_t symbol, extra_bits, extra;
};

// The code lengths of both alphabets run-length coded with symbols 16 (repeat the last length
// 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros).
std::vector<length_code_item> run_length_code(const std::vector<std::uint8_t>& lengths) {
  std::vector<length_code_item> items;
  for (std::size_t i = 0; i < lengths.size();) {
    const std::uint8_t len = lengths[i];
    std::size_t run = 1;
    while (i + run < lengths.size() && lengths[i + run] == len) ++run;
    std::size_t left = run;
    if (len == 0) {
      while (left >= 11) {
        const std::size_t n = std::min<std::size_t>(left, 138);
        items.push_back({18, 7, static_cast<std::uint8_t>(n - 11)});
        left -= n;
      }
      if (left >= 3) {
        items.push_back({17, 3, static_cast<std::uint8_t>(left - 3)});
        left = 0;
      }
    } else {
      items.push_back({len, 0, 0});
      --left;
      while (left >= 3) {
        const std::size_t n = std::min<std::size_t>(left, 6);
        items.push_back({16, 2, static_cast<std::uint8_t>(n - 3)});
        left -= n;
      }
    }
    for (; left > 0; --left) items.push_back({len, 0, 0});
    i += run;
  }
  return items;
}

}  // namespace

std::vector<std::uint8_t> huffman_code_lengths(const std::vector<std::uint32_t>& freq, unsigned max_length) {
  std::vector<std::uint8_t> lengths(freq.size(), 0);
  std::vector<std::uint32_t> symbols;
  for (std::uint32_t s = 0; s < freq.size(); ++s)
    if (freq[s]) symbols.push_back(s);
  // Decoders want a complete code: with fewer than two symbols used, two one-bit codes.
  if (symbols.size() < 2) {
    if (freq.size() < 2) throw std::invalid_argument("an alphabet of fewer than two symbols");
    const std::uint32_t used = symbols.empty() ? 0 : symbols[0];
    lengths[used] = 1;
    lengths[used == 0 ? 1 : 0] = 1;
    return lengths;
  }
  std::sort(symbols.begin(), symbols.end(),
            [&](std::uint32_t a, std::uint32_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });

  // Huffman's tree with two queues: the leaves in order of weight, then the inner nodes as made
  // (their weights never decrease).
  const std::size_t m = symbols.size(), nodes = 2 * m - 1;
  std::vector<std::uint64_t> weight(nodes);
  std::vector<std::size_t> parent(nodes, 0);
  for (std::size_t k = 0; k < m; ++k) weight[k] = freq[symbols[k]];
  std::size_t leaf = 0, inner = m;
  const auto lightest = [&](std::size_t made) {
    if (leaf < m && (inner >= made || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  for (std::size_t made = m; made < nodes; ++made) {
    const std::size_t a = lightest(made), b = lightest(made);
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = made;
  }
  std::vector<std::uint32_t> depth(nodes, 0);
  std::vector<std::uint64_t> count(m + 1, 0);
  for (std::size_t n = nodes - 1; n-- > 0;) depth[n] = depth[parent[n]] + 1;
  for (std::size_t k = 0; k < m; ++k) ++count[std::min<std::size_t>(depth[k], m)];

  // Too deep: clamp, then lengthen the shortest codes that can be lengthened until the code
  // is complete again (each step removes one code's worth of excess).
  if (count.size() <= max_length) count.resize(max_length + 1, 0);
  for (std::size_t d = max_length + 1; d < count.size(); ++d) {
    count[max_length] += count[d];
    count[d] = 0;
  }
  std::uint64_t total = 0;
  for (unsigned d = 1; d <= max_length; ++d) total += count[d] << (max_length - d);
  while (total > (std::uint64_t{1} << max_length)) {
    --count[max_length];
    for (unsigned d = max_length - 1; d > 0; --d) {
      if (count[d]) {
        --count[d];
        count[d + 1] += 2;
        break;
      }
    }
    --total;
  }
  // The rarest symbols get the longest codes.
  std::size_t k = 0;
  for (unsigned d = max_length; d >= 1; --d)
    for (std::uint64_t c = 0; c < count[d]; ++c) lengths[symbols[k++]] = static_cast<std::uint8_t>(d);
  return lengths;
}

row_deflater::row_deflater(std::size_t row_bytes, std::size_t pixel_bytes)
    : row_bytes_(row_bytes), pixel_bytes_(pixel_bytes), last_seen_(std::size_t{1} << hash_bits, 0),
      literal_freq_(literal_symbols, 0), distance_freq_(distance_symbols, 0) {
  if (row_bytes == 0 || pixel_bytes == 0) throw std::invalid_argument("rows of no bytes");
  tokens_.reserve(block_tokens);
  out_.reserve(64 * 1024);
}

void row_deflater::literal(unsigned char byte) {
  tokens_.push_back({byte, 0});
  ++literal_freq_[byte];
  if (tokens_.size() >= block_tokens) flush_block(false);
}

void row_deflater::match(std::size_t length, std::size_t distance) {
  tokens_.push_back({static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(distance)});
  ++literal_freq_[257 + length_index()[length]];
  ++distance_freq_[distance_index(distance)];
  if (tokens_.size() >= block_tokens) flush_block(false);
}

void row_deflater::add_row(const unsigned char* row, const unsigned char* above) {
  const std::size_t n = row_bytes_;
  const bool row_above_in_reach = above && n <= window;
  const std::uint64_t base = position_;
  const std::uint64_t row_index = position_ / n;
  recent_.push_back(row);
  if (recent_.size() > rows_kept) recent_.erase(recent_.begin());
  position_ += n;

  if (row_above_in_reach && (row == above || std::memcmp(row, above, n) == 0)) {
    // The row repeats the one above: all of it is a match one row back. Where a stretch also
    // repeats the pixel before it (white), the shorter distance is the cheaper code.
    for (std::size_t i = 0; i < n;) {
      std::size_t take = std::min(n - i, max_match);
      if (n - i - take != 0 && n - i - take < min_match) take = n - i - min_match;
      if (take < min_match) {
        for (; i < n; ++i) literal(row[i]);
        break;
      }
      const bool pixel_back = i >= pixel_bytes_ && common_prefix(row + i, row + i - pixel_bytes_, take) == take;
      match(take, pixel_back ? pixel_bytes_ : n);
      i += take;
    }
    return;
  }

  // Where a plan's rows repeat: one pixel back, the row above, and the row above shifted by a
  // pixel or two (slanted lines).
  const std::array<std::ptrdiff_t, 6> offsets{0, 0, -3, 3, -6, 6};
  for (std::size_t i = 0; i < n;) {
    const std::size_t limit = std::min(max_match, n - i);
    std::size_t best = 0, best_distance = 0;
    for (std::size_t c = 0; c < offsets.size() && best < limit; ++c) {
      // Candidate 0: one pixel back in this row; the others: in the row above.
      const unsigned char* from = nullptr;
      std::size_t reach = limit, distance = 0;
      if (c == 0) {
        if (i < pixel_bytes_) continue;
        from = row + i - pixel_bytes_;
        distance = pixel_bytes_;
      } else {
        if (!row_above_in_reach) break;
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + offsets[c] * static_cast<std::ptrdiff_t>(pixel_bytes_) / 3;
        if (at < 0 || at >= static_cast<std::ptrdiff_t>(n)) continue;
        from = above + at;
        distance = n + i - static_cast<std::size_t>(at);
        reach = std::min(limit, n - static_cast<std::size_t>(at));
        if (distance > window) continue;
      }
      const std::size_t len = common_prefix(row + i, from, reach);
      if (len > best) {
        best = len;
        best_distance = distance;
      }
    }
    if (best < limit && i + 4 <= n) {
      // The last place these four bytes were seen, if the rows kept still hold it.
      std::uint32_t& seen = last_seen_[hash4(row + i)];
      const std::uint64_t here = base + i;
      if (seen != 0) {
        const std::uint64_t there = seen - 1;
        const std::uint64_t distance = here - there;
        const std::uint64_t back_rows = row_index - there / n;
        if (distance <= window && back_rows < recent_.size()) {
          const unsigned char* from = recent_[recent_.size() - 1 - back_rows] + there % n;
          const std::size_t len = common_prefix(row + i, from, std::min<std::size_t>(limit, n - there % n));
          if (len >= 4 && len > best) {
            best = len;
            best_distance = static_cast<std::size_t>(distance);
          }
        }
      }
      seen = static_cast<std::uint32_t>(here + 1);
    }
    if (best >= min_match) {
      match(best, best_distance);
      i += best;
    } else {
      literal(row[i]);
      ++i;
    }
  }
  // Positions are kept in 32 bits: start afresh long before they wrap.
  if (position_ > (std::uint64_t{1} << 31)) {
    std::fill(last_seen_.begin(), last_seen_.end(), 0);
    position_ %= n;
  }
}

void row_deflater::put_bits(std::uint64_t bits, unsigned count) {
  bit_buffer_ |= bits << bit_count_;
  bit_count_ += count;
  if (bit_count_ >= 32) {
    const char bytes[4] = {static_cast<char>(bit_buffer_), static_cast<char>(bit_buffer_ >> 8),
                           static_cast<char>(bit_buffer_ >> 16), static_cast<char>(bit_buffer_ >> 24)};
    out_.append(bytes, 4);
    bit_buffer_ >>= 32;
    bit_count_ -= 32;
  }
}

void row_deflater::flush_block(bool final) {
  literal_freq_[end_of_block] = 1;
  auto literal_lengths = huffman_code_lengths(literal_freq_, 15);
  auto distance_lengths = huffman_code_lengths(distance_freq_, 15);
  std::size_t hlit = literal_symbols, hdist = distance_symbols;
  while (hlit > 257 && literal_lengths[hlit - 1] == 0) --hlit;
  while (hdist > 1 && distance_lengths[hdist - 1] == 0) --hdist;

  std::vector<std::uint8_t> both(literal_lengths.begin(), literal_lengths.begin() + static_cast<std::ptrdiff_t>(hlit));
  both.insert(both.end(), distance_lengths.begin(), distance_lengths.begin() + static_cast<std::ptrdiff_t>(hdist));
  const auto items = run_length_code(both);
  std::vector<std::uint32_t> length_freq(length_symbols, 0);
  for (const auto& item : items) ++length_freq[item.symbol];
  const auto length_lengths = huffman_code_lengths(length_freq, 7);
  std::size_t hclen = length_symbols;
  while (hclen > 4 && length_lengths[length_code_order[hclen - 1]] == 0) --hclen;

  put_bits(final ? 1 : 0, 1);
  put_bits(2, 2);  // dynamic Huffman codes
  put_bits(hlit - 257, 5);
  put_bits(hdist - 1, 5);
  put_bits(hclen - 4, 4);
  for (std::size_t i = 0; i < hclen; ++i) put_bits(length_lengths[length_code_order[i]], 3);
  const auto length_codes = canonical_codes(length_lengths);
  for (const auto& item : items) {
    put_bits(length_codes[item.symbol], length_lengths[item.symbol]);
    if (item.extra_bits) put_bits(item.extra, item.extra_bits);
  }

  const auto literal_codes = canonical_codes(literal_lengths);
  const auto distance_codes = canonical_codes(distance_lengths);
  const auto& index_of_length = length_index();
  for (const auto& t : tokens_) {
    if (t.distance == 0) {
      put_bits(literal_codes[t.length], literal_lengths[t.length]);
      continue;
    }
    const unsigned li = index_of_length[t.length];
    put_bits(literal_codes[257 + li], literal_lengths[257 + li]);
    if (length_extra[li]) put_bits(t.length - length_base[li], length_extra[li]);
    const unsigned di = distance_index(t.distance);
    put_bits(distance_codes[di], distance_lengths[di]);
    if (distance_extra[di]) put_bits(t.distance - distance_base[di], distance_extra[di]);
  }
  put_bits(literal_codes[end_of_block], literal_lengths[end_of_block]);

  tokens_.clear();
  std::fill(literal_freq_.begin(), literal_freq_.end(), 0);
  std::fill(distance_freq_.begin(), distance_freq_.end(), 0);
}

std::string row_deflater::finish(bool last) {
  flush_block(last);
  if (!last) put_bits(0, 3);  // an empty stored block: its length ends on a byte boundary
  while (bit_count_ > 0) {
    out_.push_back(static_cast<char>(bit_buffer_));
    bit_buffer_ >>= 8;
    bit_count_ = bit_count_ > 8 ? bit_count_ - 8 : 0;
  }
  if (!last) out_.append("\x00\x00\xff\xff", 4);
  return std::move(out_);
}

}  // namespace printsvc::plots::detail
