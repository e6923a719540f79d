#include "mapsvc/tile_gateway/python_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace mapsvc::tile_gateway {

namespace {

using ojson = nlohmann::ordered_json;

// Raw bytes have no JSON form; refuse them as Python does rather than invent one.
[[noreturn]] void throw_not_serializable() {
  throw std::invalid_argument("Object of type bytes is not JSON serializable");
}

// Python switches from fixed to exponent notation outside 1e-4 <= |x| < 1e16.
void append_float(double value, std::string& out) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto epos = sci.find('e');
  const int exp = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  std::string digits;
  for (const char ch : sci.substr(0, epos))
    if (ch >= '0' && ch <= '9') digits += ch;
  if (std::signbit(value)) out += '-';

  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    } else if (digits.size() <= static_cast<std::size_t>(exp) + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp) + 1 - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(exp) + 1);
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exp) + 1);
    }
    return;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  char tail[16];
  std::snprintf(tail, sizeof tail, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
  out += tail;
}

// Objects and arrays as both of Python's texts write them (", " between items, ": " after
// keys); keys and scalars are each text's own.
template <class Key, class Scalar>
void append_nested(const ojson& value, std::string& out, const Key& key, const Scalar& scalar) {
  if (value.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [name, member] : value.items()) {
      if (!first) out += ", ";
      first = false;
      key(name, out);
      out += ": ";
      append_nested(member, out, key, scalar);
    }
    out += '}';
  } else if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& element : value) {
      if (!first) out += ", ";
      first = false;
      append_nested(element, out, key, scalar);
    }
    out += ']';
  } else {
    scalar(value, out);
  }
}

void append_json_key(const std::string& key, std::string& out) { out += ojson(key).dump(-1, ' ', true); }

void append_json_scalar(const ojson& value, std::string& out) {
  switch (value.type()) {
    case ojson::value_t::number_float: {
      const double d = value.get<double>();
      if (std::isnan(d)) out += "NaN";
      else if (std::isinf(d)) out += d > 0 ? "Infinity" : "-Infinity";
      else append_float(d, out);
      return;
    }
    case ojson::value_t::binary: throw_not_serializable();
    default:  // strings (ensure_ascii), integers, booleans, null
      out += value.dump(-1, ' ', true);
  }
}

void append_json(const ojson& value, std::string& out) { append_nested(value, out, append_json_key, append_json_scalar); }

void append_str_repr(std::string_view text, std::string& out) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' || c == static_cast<unsigned char>(quote)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0xa0) {
      // U+0080..U+00A0 (C1 controls and no-break space) are not printable to Python.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(text[++i]));
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
}

void append_repr_key(const std::string& key, std::string& out) { append_str_repr(key, out); }

void append_repr_scalar(const ojson& value, std::string& out) {
  switch (value.type()) {
    case ojson::value_t::string: append_str_repr(value.get_ref<const std::string&>(), out); return;
    case ojson::value_t::number_float: out += python_float_repr(value.get<double>()); return;
    case ojson::value_t::boolean: out += value.get<bool>() ? "True" : "False"; return;
    case ojson::value_t::null:
    case ojson::value_t::discarded: out += "None"; return;
    case ojson::value_t::binary: throw_not_serializable();
    default: out += value.dump();  // integers
  }
}

void append_repr(const ojson& value, std::string& out) { append_nested(value, out, append_repr_key, append_repr_scalar); }

}  // namespace

std::string python_json_dumps(const nlohmann::ordered_json& value) {
  std::string out;
  append_json(value, out);
  return out;
}

std::string python_float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  std::string out;
  append_float(value, out);
  return out;
}

std::string python_str_repr(std::string_view text) {
  std::string out;
  append_str_repr(text, out);
  return out;
}

std::string python_list_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    append_str_repr(items[i], out);
  }
  out += ']';
  return out;
}

std::string python_repr(const nlohmann::ordered_json& value) {
  std::string out;
  append_repr(value, out);
  return out;
}

}  // namespace mapsvc::tile_gateway
