#include "py_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace printsvc::plots::detail {

using json = nlohmann::ordered_json;

std::string python_float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);  // shortest
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto epos = sci.find('e');
  const int exp = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  std::string digits;
  for (const char c : sci.substr(0, epos))
    if (c >= '0' && c <= '9') digits += c;

  std::string out = sci.front() == '-' ? "-" : "";
  if (exp >= -4 && exp < 16) {
    if (exp < 0) return out + "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    const auto whole = static_cast<std::size_t>(exp + 1);
    if (digits.size() <= whole) return out + digits + std::string(whole - digits.size(), '0') + ".0";
    return out + digits.substr(0, whole) + "." + digits.substr(whole);
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  char e[16];
  std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
  return out + e;
}

std::string python_str(const json& v) {
  switch (v.type()) {
    case json::value_t::string: return v.get_ref<const std::string&>();
    case json::value_t::number_integer: return std::to_string(v.get<std::int64_t>());
    case json::value_t::number_unsigned: return std::to_string(v.get<std::uint64_t>());
    case json::value_t::number_float: return python_float_repr(v.get<double>());
    case json::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case json::value_t::null: return "None";
    default: return v.dump();
  }
}

std::string format_fixed2(double v) {
  char buf[400];  // enough for the widest double in fixed notation
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

namespace {

// A JSON number, or a boolean, seen as Python sees it: an exact integer or a real.
struct py_number {
  bool is_real;
  bool negative;       // integers only
  std::uint64_t magnitude;
  double real;
};

py_number as_number(const json& v) {
  switch (v.type()) {
    case json::value_t::boolean: return {false, false, v.get<bool>() ? 1u : 0u, 0};
    case json::value_t::number_unsigned: return {false, false, v.get<std::uint64_t>(), 0};
    case json::value_t::number_integer: {
      const auto i = v.get<std::int64_t>();
      const auto mag = i < 0 ? std::uint64_t(0) - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
      return {false, i < 0, mag, 0};
    }
    default: return {true, false, 0, v.get<double>()};
  }
}

bool integer_equals_real(const py_number& i, double d) {
  if (!std::isfinite(d) || d != std::trunc(d)) return false;
  if ((d < 0) != i.negative && d != 0) return false;
  const double mag = std::fabs(d);
  if (mag >= 18446744073709551616.0) return false;  // beyond any 64-bit magnitude
  return static_cast<std::uint64_t>(mag) == i.magnitude;
}

bool numbers_equal(const json& a, const json& b) {
  const py_number x = as_number(a), y = as_number(b);
  if (x.is_real && y.is_real) return x.real == y.real;
  if (x.is_real) return integer_equals_real(y, x.real);
  if (y.is_real) return integer_equals_real(x, y.real);
  if (x.magnitude == 0 && y.magnitude == 0) return true;
  return x.negative == y.negative && x.magnitude == y.magnitude;
}

bool is_number_like(const json& v) { return v.is_number() || v.is_boolean(); }

}  // namespace

bool python_equal(const json& a, const json& b) {
  if (is_number_like(a) && is_number_like(b)) return numbers_equal(a, b);
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!python_equal(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a.items()) {
      const auto it = b.find(key);
      if (it == b.end() || !python_equal(value, *it)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace printsvc::plots::detail
