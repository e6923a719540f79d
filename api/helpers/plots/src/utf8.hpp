#pragma once

// Lengths of record texts as printed, in characters (Unicode code points) rather than bytes:
// a limit in bytes would allow four times as many Latin letters as Ethiopic ones.

#include <cstddef>
#include <string_view>

namespace printsvc::plots::detail {

/// Characters `text` prints as: one per well-formed UTF-8 sequence, and one per byte of an
/// ill-formed sequence (drawing replaces each such byte with U+FFFD).
std::size_t printed_length(std::string_view text);

/// The first `max_chars` characters of `text` (as counted by printed_length), never cutting a
/// sequence; all of it when shorter.
std::string_view leading_chars(std::string_view text, std::size_t max_chars);

}  // namespace printsvc::plots::detail
