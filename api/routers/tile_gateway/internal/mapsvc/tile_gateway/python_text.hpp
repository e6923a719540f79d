#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace mapsvc::tile_gateway {

// Text exactly as Python would write it. Clients, log readers and stored cache entries
// already know these forms, so they are reproduced byte for byte.

// JSON like json.dumps with its defaults: ", " and ": " separators, non-ASCII escaped as
// \uXXXX, floats in shortest round-trip form ("1e+16", "1000000000000000.0", "45.0"),
// non-finite floats as NaN / Infinity / -Infinity. Throws nlohmann::json::type_error
// for strings that are not valid UTF-8 and std::invalid_argument for binary values.
std::string python_json_dumps(const nlohmann::ordered_json& value);

// repr() of a float: shortest round-trip digits, "nan", "inf", "-inf".
std::string python_float_repr(double value);

// str() of a number: integers as digits, reals as their repr ("16.0", "1e-05").
template <std::integral T>
  requires(!std::same_as<T, bool>)
std::string python_str(T value) {
  return std::to_string(value);
}
inline std::string python_str(double value) { return python_float_repr(value); }

// repr() of a string: single quotes unless the text holds ' and no ", backslash and
// control characters escaped. Non-ASCII text is assumed printable and kept.
std::string python_str_repr(std::string_view text);

// repr() of a list of strings, e.g. ['plots', 'beacons'].
std::string python_list_repr(const std::vector<std::string>& items);

// repr() of a JSON value as the equivalent Python object, e.g. the tile box mapping
// {'minx': -20037508.342789244, 'miny': ...}; True/False/None for the JSON literals.
std::string python_repr(const nlohmann::ordered_json& value);

}  // namespace mapsvc::tile_gateway
