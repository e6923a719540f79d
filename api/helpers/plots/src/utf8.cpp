#include "utf8.hpp"

#include <cstdio>

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

// One character of a text: its bytes, and its code point when they are well-formed.
struct character {
  std::string_view bytes;
  std::optional<char32_t> code_point;
};

// Calls `visit` with each character of `text` in turn.
template <typename Visit>
void for_each_char(std::string_view text, Visit visit) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequence_length(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    std::optional<char32_t> cp;
    if (lead < 0x80) {
      cp = lead;
    } else if (n > 1) {
      char32_t c = lead & (n == 2 ? 0x1f : n == 3 ? 0x0f : 0x07);
      for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
      cp = c;
    }
    visit(character{text.substr(i, n), cp});
    i += n;
  }
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

constexpr char32_t replacement = 0xfffd;

bool is_break(char32_t c) { return c == '\t' || c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029; }

void append_escape(std::string& out, unsigned unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", unit);
  out += buf;
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

bool is_printable(char32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
  if (c >= 0x7f && c <= 0x9f) return false;
  if (c >= 0xd800 && c <= 0xdfff) return false;
  if (c >= 0xfdd0 && c <= 0xfdef) return false;
  if ((c & 0xfffe) == 0xfffe) return false;
  return c <= 0x10ffff;
}

std::optional<unprintable_char> find_unprintable(std::string_view text) {
  std::optional<unprintable_char> found;
  std::size_t position = 0;
  for_each_char(text, [&](const character& c) {
    ++position;
    if (!found && (!c.code_point || !is_printable(*c.code_point)))
      found = unprintable_char{position, c.code_point, static_cast<unsigned char>(c.bytes.front())};
  });
  return found;
}

std::string describe(const unprintable_char& c) {
  char buf[80];
  if (c.code_point)
    std::snprintf(buf, sizeof buf, "U+%04X (character %zu) cannot be printed", static_cast<unsigned>(*c.code_point),
                  c.position);
  else
    std::snprintf(buf, sizeof buf, "byte 0x%02X (character %zu) is not UTF-8", c.byte, c.position);
  return buf;
}

std::string drawable_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_char(text, [&](const character& c) {
    if (c.code_point && is_break(*c.code_point))
      out += ' ';
    else if (c.code_point && is_printable(*c.code_point))
      out += c.bytes;
    else
      append_utf8(out, replacement);
  });
  return out;
}

std::string escape_unprintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_char(text, [&](const character& c) {
    if (!c.code_point) {
      append_utf8(out, replacement);
    } else if (is_printable(*c.code_point)) {
      out += c.bytes;
    } else if (*c.code_point < 0x10000) {
      append_escape(out, *c.code_point);
    } else {
      const char32_t v = *c.code_point - 0x10000;
      append_escape(out, 0xd800 + (v >> 10));
      append_escape(out, 0xdc00 + (v & 0x3ff));
    }
  });
  return out;
}

}  // namespace printsvc::plots::detail
