#include "binary_decode.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace clients::pg::detail {
namespace {

std::uint64_t read_be(std::string_view bytes) {
  std::uint64_t v = 0;
  for (unsigned char c : bytes) v = (v << 8) | c;
  return v;
}

std::uint16_t read_u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(read_be(bytes.substr(at, 2)));
}

constexpr std::uint16_t numeric_neg = 0x4000, numeric_nan = 0xC000, numeric_pinf = 0xD000,
                        numeric_ninf = 0xF000;

}  // namespace

std::optional<std::int64_t> decode_int(std::string_view bytes) {
  const std::uint64_t u = read_be(bytes);
  switch (bytes.size()) {
    case 2: return static_cast<std::int16_t>(u);
    case 4: return static_cast<std::int32_t>(u);
    case 8: return static_cast<std::int64_t>(u);
    default: return std::nullopt;
  }
}

std::optional<double> decode_float(std::string_view bytes) {
  if (bytes.size() == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(read_be(bytes)));
  if (bytes.size() == 8) return std::bit_cast<double>(read_be(bytes));
  return std::nullopt;
}

// Layout: int16 ndigits, int16 weight, uint16 sign, int16 dscale, then ndigits base-10000
// digits; digit i is worth 10000^(weight - i).
std::optional<std::string> decode_numeric_text(std::string_view bytes) {
  if (bytes.size() < 8) return std::nullopt;
  const int ndigits = static_cast<std::int16_t>(read_u16(bytes, 0));
  const int weight = static_cast<std::int16_t>(read_u16(bytes, 2));
  const std::uint16_t sign = read_u16(bytes, 4);
  const int dscale = static_cast<std::int16_t>(read_u16(bytes, 6));
  if (ndigits < 0 || dscale < 0 || bytes.size() != 8 + 2 * static_cast<std::size_t>(ndigits)) return std::nullopt;
  if (sign == numeric_nan) return "NaN";
  if (sign == numeric_pinf) return "Infinity";
  if (sign == numeric_ninf) return "-Infinity";

  auto digit = [&](int i) -> int { return i >= 0 && i < ndigits ? read_u16(bytes, 8 + 2 * i) : 0; };
  auto append4 = [](std::string& s, int d) {
    char buf[4] = {char('0' + d / 1000), char('0' + d / 100 % 10), char('0' + d / 10 % 10), char('0' + d % 10)};
    s.append(buf, 4);
  };
  std::string out;
  if (sign == numeric_neg) out += '-';
  if (weight < 0) {
    out += '0';
  } else {
    out += std::to_string(digit(0));
    for (int i = 1; i <= weight; ++i) append4(out, digit(i));
  }
  if (dscale > 0) {
    std::string frac;
    for (int i = weight + 1; frac.size() < static_cast<std::size_t>(dscale); ++i) append4(frac, digit(i));
    frac.resize(dscale);
    out += '.';
    out += frac;
  }
  return out;
}

std::optional<double> decode_numeric_double(std::string_view bytes) {
  auto text = decode_numeric_text(bytes);
  if (!text) return std::nullopt;
  if (*text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (*text == "Infinity") return std::numeric_limits<double>::infinity();
  if (*text == "-Infinity") return -std::numeric_limits<double>::infinity();
  double d = 0;
  const auto res = std::from_chars(text->data(), text->data() + text->size(), d);
  // Out of double's range: from_chars leaves d alone; follow strtod and saturate.
  if (res.ec == std::errc::result_out_of_range) {
    const bool tiny = text->starts_with("0.") || text->starts_with("-0.");
    d = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    if ((*text)[0] == '-') d = -d;
  } else if (res.ec != std::errc{}) {
    return std::nullopt;
  }
  return d;
}

}  // namespace clients::pg::detail
