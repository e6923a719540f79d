#pragma once
// Decoders for the server's binary wire format of the basic types. Pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace clients::pg::detail {

// Big-endian integers and floats; `bytes` must have exactly the type's width.
std::optional<std::int64_t> decode_int(std::string_view bytes);  // 2, 4 or 8 bytes
std::optional<double> decode_float(std::string_view bytes);      // 4 or 8 bytes

// numeric: exact decimal text ("NaN", "Infinity", "-Infinity" for the specials).
std::optional<std::string> decode_numeric_text(std::string_view bytes);
std::optional<double> decode_numeric_double(std::string_view bytes);

}  // namespace clients::pg::detail
