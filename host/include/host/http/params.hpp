#pragma once
// Typed path and query parameters: declaration, conversion from request text, and the
// values a handler reads. Conversion happens before a handler runs; failures become 422.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/container/small_vector.hpp>

namespace host::http {

enum class param_type { string, integer, number, boolean, path };
enum class param_in { path, query };

// An integer of any length: the canonical decimal text, and the value when it fits 64 bits.
// Handlers decide what an out-of-range value means for them instead of the host overflowing.
struct integer {
  std::string text;
  std::optional<std::int64_t> value;

  friend bool operator==(const integer&, const integer&) = default;
};

using param_value = std::variant<std::string, integer, double, bool>;

struct param_spec {
  std::string name;
  param_in in = param_in::query;
  param_type type = param_type::string;
  std::optional<param_value> default_value;  // none: the parameter is required
  std::string description;
  std::optional<std::int64_t> minimum{};  // integers below it are refused like unparsable ones
};

// Shorthands for route declarations.
param_spec path_param(std::string name, param_type type = param_type::string);
param_spec query_param(std::string name, param_type type, std::optional<param_value> default_value,
                       std::string description = {});

// One reason a request's parameters were refused, shaped like the usual validation error body.
struct param_problem {
  std::string type;  // e.g. "int_parsing", "missing"
  param_in in;
  std::string name;
  std::string message;
  std::optional<std::string> input;
};

std::optional<integer> parse_integer(std::string_view text);
std::optional<double> parse_number(std::string_view text);
std::optional<bool> parse_boolean(std::string_view text);

// Converts raw text to the declared type, or describes why it cannot.
std::variant<param_value, param_problem> convert_param(const param_spec& param, std::string_view raw);

std::string_view to_string(param_in in);
std::string_view to_string(param_type type);

class request_params {
 public:
  void set(std::string name, param_value value);
  // Room for `count` parameters, so that setting them does not grow the list step by step.
  void reserve(std::size_t count) { values_.reserve(count); }

  const std::string& string(std::string_view name) const;
  const integer& integer_value(std::string_view name) const;
  double number(std::string_view name) const;
  bool boolean(std::string_view name) const;
  bool contains(std::string_view name) const;

 private:
  const param_value& find(std::string_view name) const;
  boost::container::small_vector<std::pair<std::string, param_value>, 6> values_;  // inline: routes take a few
};

}  // namespace host::http
