#pragma once
// JSON request bodies, read as untrusted input: nesting is bounded while parsing, so nothing
// recursive (copy, compare, destroy, dump) ever meets a depth an attacker chose.

#include <cstddef>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace host::http {

struct json_limits {
  // Arrays and objects inside one another. GeoJSON-like records need about six.
  std::size_t max_depth = 64;
};

// Why a body was refused: what() is a short text for a 422 detail (never the whole input).
class json_body_error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Parses `text` as one JSON document. Throws json_body_error for malformed JSON, nesting
// deeper than `limits.max_depth`, or a number too large for a double (such as 1e400).
nlohmann::ordered_json parse_json_body(std::string_view text, json_limits limits = {});

}  // namespace host::http
