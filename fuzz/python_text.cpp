// Documents (parsed as the host parses request bodies) through the Python-style text writers
// of the tile service and of the plan renderer. Besides crashes, a finding is
// - json.dumps text that is not ASCII, not JSON, or reads back as another document;
// - a float text that reads back as another value, or that the two writers spell apart;
// - str() of an integer other than its digits;
// - Python equality that is not reflexive or not symmetric, or calls a number equal to text.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "host/http/json_body.hpp"
#include "mapsvc/tile_gateway/python_text.hpp"
#include "py_text.hpp"

namespace {
using json = nlohmann::ordered_json;
namespace tg = mapsvc::tile_gateway;
namespace plots = printsvc::plots::detail;

[[noreturn]] void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "finding: %s: %.*s\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 400)),
               detail.data());
  std::abort();
}

void check_float(double d) {
  const std::string text = tg::python_float_repr(d);
  if (text != plots::python_float_repr(d)) finding("the two float writers disagree", text + " / " + plots::python_float_repr(d));
  if (!std::isfinite(d)) return;
  double back = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  if (ec != std::errc() || end != text.data() + text.size() || back != d || std::signbit(back) != std::signbit(d))
    finding("float text reads back as another value", text);
  if (text.find_first_of(".e") == std::string::npos) finding("float text without '.' or exponent", text);
  (void)plots::format_fixed2(d);
}

void check_scalar(const json& v) {
  (void)plots::python_str(v);
  switch (v.type()) {
    case json::value_t::number_float: check_float(v.get<double>()); break;
    case json::value_t::number_integer:
      if (tg::python_str(v.get<std::int64_t>()) != v.dump()) finding("str() of an integer", v.dump());
      if (plots::python_str(v) != v.dump()) finding("plan str() of an integer", v.dump());
      break;
    case json::value_t::number_unsigned:
      if (plots::python_str(v) != v.dump()) finding("plan str() of an integer", v.dump());
      break;
    case json::value_t::string: {
      const std::string repr = tg::python_str_repr(v.get_ref<const std::string&>());
      if (repr.size() < 2 || (repr.front() != '\'' && repr.front() != '"') || repr.back() != repr.front())
        finding("string repr not quoted", repr);
      if (plots::python_str(v) != v.get_ref<const std::string&>()) finding("plan str() of text changed it");
      break;
    }
    default: break;
  }
}

void walk(const json& v) {
  if (!plots::python_equal(v, v)) finding("python_equal is not reflexive", v.dump());
  if (v.is_structured()) {
    const json* previous = nullptr;
    for (const auto& child : v) {
      walk(child);
      // Neighbours give pairs of values to compare both ways.
      if (previous && plots::python_equal(*previous, child) != plots::python_equal(child, *previous))
        finding("python_equal is not symmetric", previous->dump() + " / " + child.dump());
      if (previous && ((previous->is_number() && child.is_string()) || (previous->is_string() && child.is_number())) &&
          plots::python_equal(*previous, child))
        finding("a number equal to text", previous->dump() + " / " + child.dump());
      previous = &child;
    }
  } else {
    check_scalar(v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  json doc;
  try {
    doc = host::http::parse_json_body(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const host::http::json_body_error&) {
    return 0;
  }
  walk(doc);

  const std::string dumped = tg::python_json_dumps(doc);
  for (const char c : dumped)
    if (static_cast<unsigned char>(c) >= 0x80) finding("json.dumps text is not ASCII", dumped);
  json back;
  try {
    back = json::parse(dumped);
  } catch (const json::exception& e) {
    finding("json.dumps text is not JSON", dumped);
  }
  if (back != doc) finding("json.dumps text reads back as another document", dumped);
  (void)tg::python_repr(doc);
  return 0;
}
