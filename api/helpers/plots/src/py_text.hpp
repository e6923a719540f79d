#pragma once

// Texts on the plan are printed the way the records' first users saw them printed: numbers in
// their plain textual form and fixed-point with two decimals.

#include <nlohmann/json.hpp>

#include <string>

namespace printsvc::plots::detail {

/// Shortest round-trip form of a real, with ".0" when integral and an exponent outside
/// 1e-4 <= |v| < 1e16 (1e+16, 1e-05), as Python's str() prints a float.
std::string python_float_repr(double v);

/// Plain textual form of a JSON scalar: integers as digits, reals as python_float_repr, text as
/// itself, true/false/null as True/False/None. Arrays and objects give their JSON text.
std::string python_str(const nlohmann::ordered_json& v);

/// Fixed-point with two decimals (format ".2f").
std::string format_fixed2(double v);

/// Value equality as Python compares decoded JSON: numbers by exact value across integer and real
/// (5071 == 5071.0, true == 1), never a number with text; containers element by element.
bool python_equal(const nlohmann::ordered_json& a, const nlohmann::ordered_json& b);

}  // namespace printsvc::plots::detail
