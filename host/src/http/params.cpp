#include "host/http/params.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace host::http {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

param_problem problem(const param_spec& param, std::string type, std::string message, std::string_view raw) {
  return {std::move(type), param.in, param.name, std::move(message), std::string(raw)};
}

}  // namespace

param_spec path_param(std::string name, param_type type) {
  return {std::move(name), param_in::path, type, std::nullopt, {}};
}

param_spec query_param(std::string name, param_type type, std::optional<param_value> default_value,
                       std::string description) {
  return {std::move(name), param_in::query, type, std::move(default_value), std::move(description)};
}

std::optional<integer> parse_integer(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (text == "0") negative = false;

  integer out;
  out.text = negative ? "-" + std::string(text) : std::string(text);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(out.text.data(), out.text.data() + out.text.size(), value);
  if (ec == std::errc() && end == out.text.data() + out.text.size()) out.value = value;
  return out;
}

std::optional<double> parse_number(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  const std::string word = lower(text);
  // The special values a client may legitimately send; hexadecimal floats are not numbers here.
  if (word == "nan" || word == "+nan" || word == "-nan") return std::nan("");
  if (word == "inf" || word == "+inf" || word == "infinity" || word == "+infinity") return HUGE_VAL;
  if (word == "-inf" || word == "-infinity") return -HUGE_VAL;
  for (char c : word)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == '+' || c == '-'))
      return std::nullopt;
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (end != digits.data() + digits.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: follow the usual float conversion (inf or 0).
    return std::strtod(std::string(digits).c_str(), nullptr);
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

std::optional<bool> parse_boolean(std::string_view text) {
  const std::string word = lower(trim(text));
  if (word == "true" || word == "1" || word == "yes" || word == "on" || word == "t" || word == "y") return true;
  if (word == "false" || word == "0" || word == "no" || word == "off" || word == "f" || word == "n") return false;
  return std::nullopt;
}

std::variant<param_value, param_problem> convert_param(const param_spec& param, std::string_view raw) {
  switch (param.type) {
    case param_type::string:
    case param_type::path:
      return param_value{std::string(raw)};
    case param_type::integer:
      if (auto v = parse_integer(raw)) {
        // Beyond 64 bits a value has no number, only its sign to compare by.
        const bool below = param.minimum && (v->value ? *v->value < *param.minimum : v->text.front() == '-');
        if (below)
          return problem(param, "greater_than_equal",
                         "Input should be greater than or equal to " + std::to_string(*param.minimum), raw);
        return param_value{std::move(*v)};
      }
      return problem(param, "int_parsing", "Input should be a valid integer, unable to parse string as an integer", raw);
    case param_type::number:
      if (auto v = parse_number(raw)) return param_value{*v};
      return problem(param, "float_parsing", "Input should be a valid number, unable to parse string as a number", raw);
    case param_type::boolean:
      if (auto v = parse_boolean(raw)) return param_value{*v};
      return problem(param, "bool_parsing", "Input should be a valid boolean, unable to interpret input", raw);
  }
  throw std::logic_error("unknown parameter type");
}

std::string_view to_string(param_in in) { return in == param_in::path ? "path" : "query"; }

std::string_view to_string(param_type type) {
  switch (type) {
    case param_type::string:
    case param_type::path: return "string";
    case param_type::integer: return "integer";
    case param_type::number: return "number";
    case param_type::boolean: return "boolean";
  }
  return "string";
}

void request_params::set(std::string name, param_value value) {
  for (auto& [n, v] : values_)
    if (n == name) {
      v = std::move(value);
      return;
    }
  values_.emplace_back(std::move(name), std::move(value));
}

const param_value& request_params::find(std::string_view name) const {
  for (const auto& [n, v] : values_)
    if (n == name) return v;
  throw std::out_of_range("no request parameter named '" + std::string(name) + "'");
}

bool request_params::contains(std::string_view name) const {
  for (const auto& [n, v] : values_)
    if (n == name) return true;
  return false;
}

const std::string& request_params::string(std::string_view name) const { return std::get<std::string>(find(name)); }
const integer& request_params::integer_value(std::string_view name) const { return std::get<integer>(find(name)); }
double request_params::number(std::string_view name) const { return std::get<double>(find(name)); }
bool request_params::boolean(std::string_view name) const { return std::get<bool>(find(name)); }

}  // namespace host::http
