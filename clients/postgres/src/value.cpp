#include <clients/pg/value.hpp>

#include <charconv>
#include <cmath>

namespace clients::pg {
namespace {

std::string double_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

}  // namespace

std::optional<std::string> to_param_text(const value& v) {
  struct visitor {
    std::optional<std::string> operator()(std::monostate) const { return std::nullopt; }
    std::optional<std::string> operator()(const std::string& s) const { return s; }
    std::optional<std::string> operator()(std::int64_t i) const { return std::to_string(i); }
    std::optional<std::string> operator()(double d) const { return double_text(d); }
    std::optional<std::string> operator()(bool b) const { return std::string(b ? "true" : "false"); }
  };
  return std::visit(visitor{}, v);
}

}  // namespace clients::pg
