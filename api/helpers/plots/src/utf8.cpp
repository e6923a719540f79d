#include "utf8.hpp"

namespace printsvc::plots::detail {

namespace {

bool in(unsigned char c, unsigned char low, unsigned char high) { return c >= low && c <= high; }

// Bytes of the well-formed sequence starting at text[i] (Unicode's table of well-formed UTF-8
// byte sequences), or 1 for a byte that starts none.
std::size_t sequence_length(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  const auto tail = [&](std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k)
      if (!in(at(k), 0x80, 0xbf)) return false;
    return true;
  };
  if (in(lead, 0xc2, 0xdf)) return tail(1, 2) ? 2 : 1;
  if (in(lead, 0xe0, 0xef)) {
    const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80, high = lead == 0xed ? 0x9f : 0xbf;
    return in(at(1), low, high) && tail(2, 3) ? 3 : 1;
  }
  if (in(lead, 0xf0, 0xf4)) {
    const unsigned char low = lead == 0xf0 ? 0x90 : 0x80, high = lead == 0xf4 ? 0x8f : 0xbf;
    return in(at(1), low, high) && tail(2, 4) ? 4 : 1;
  }
  return 1;
}

}  // namespace

std::size_t printed_length(std::string_view text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); i += sequence_length(text, i)) ++chars;
  return chars;
}

std::string_view leading_chars(std::string_view text, std::size_t max_chars) {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < text.size() && chars < max_chars; ++chars) i += sequence_length(text, i);
  return text.substr(0, i);
}

}  // namespace printsvc::plots::detail
