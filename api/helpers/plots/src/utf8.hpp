#pragma once

// Record texts as printed. Lengths count characters (Unicode code points) rather than bytes: a
// limit in bytes would allow four times as many Latin letters as Ethiopic ones. Which characters
// can be printed at all is decided here once, for every format: Cairo refuses noncharacters in
// the texts of a PDF or PNG, and XML refuses most control characters and U+FFFE/U+FFFF.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace printsvc::plots::detail {

/// Characters `text` prints as: one per well-formed UTF-8 sequence, and one per byte of an
/// ill-formed sequence (drawing replaces each such byte with U+FFFD).
std::size_t printed_length(std::string_view text);

/// The first `max_chars` characters of `text` (as counted by printed_length), never cutting a
/// sequence; all of it when shorter.
std::string_view leading_chars(std::string_view text, std::size_t max_chars);

/// Whether a label may hold `c`: false for C0 controls other than tab, line feed and carriage
/// return, for DEL and the C1 controls, surrogates, the noncharacters (U+FDD0-U+FDEF and the last
/// two code points of every plane) and anything beyond U+10FFFF.
bool is_printable(char32_t c);

/// A character of a text that cannot be printed: a code point is_printable refuses, or a byte
/// that starts no well-formed UTF-8 sequence.
struct unprintable_char {
  std::size_t position;                ///< 1-based, in characters as printed_length counts them
  std::optional<char32_t> code_point;  ///< none for an ill-formed byte
  unsigned char byte;                  ///< the sequence's first byte
};

/// The first character of `text` that cannot be printed; none when every one can.
std::optional<unprintable_char> find_unprintable(std::string_view text);

/// What is wrong with `c`, for a message: "U+FFFF (character 3) cannot be printed".
std::string describe(const unprintable_char& c);

/// `text` as every format draws it: each character that cannot be printed (and each ill-formed
/// byte) as U+FFFD, and tabs, line and paragraph breaks as spaces, so that a label is one line in
/// the PNG and the PDF as it is in the SVG. Records are checked before they get here; this keeps
/// texts built in code (and messages) from failing a drawing.
std::string drawable_text(std::string_view text);

/// `text` for a message quoting input: each character that cannot be printed written as its
/// JSON escape (\uFFFF; a pair of escapes beyond U+FFFF) and each ill-formed byte as U+FFFD.
std::string escape_unprintable(std::string_view text);

}  // namespace printsvc::plots::detail
