#include <clients/pg/result.hpp>

#include "binary_decode.hpp"
#include "result_data.hpp"

#include <clients/pg/errors.hpp>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace clients::pg {
namespace {

bool is_text_type(std::uint32_t t) {
  switch (t) {
    case oid::text: case oid::varchar: case oid::bpchar: case oid::name: case oid::json:
    case oid::xml: case oid::unknown: case oid::char_:
      return true;
    default:
      return false;
  }
}

PGresult* raw(const std::shared_ptr<const detail::result_data>& d) { return d ? d->res.get() : nullptr; }

}  // namespace

field::field(std::shared_ptr<const detail::result_data> data, int row, int column)
    : data_(std::move(data)), row_(row), column_(column) {}

bool field::is_null() const { return PQgetisnull(raw(data_), row_, column_) != 0; }
std::uint32_t field::type() const { return PQftype(raw(data_), column_); }
std::string_view field::name() const { return PQfname(raw(data_), column_); }

std::string_view field::bytes() const {
  PGresult* r = raw(data_);
  return {PQgetvalue(r, row_, column_), static_cast<std::size_t>(PQgetlength(r, row_, column_))};
}

template <field_type T>
T field::as() const {
  const std::string col(name());
  if (is_null()) throw result_error("column \"" + col + "\" is NULL");
  const std::uint32_t t = type();
  const std::string_view b = bytes();
  auto bad = [&](const char* what) {
    return result_error("column \"" + col + "\" of type oid " + std::to_string(t) + " cannot be read as " + what);
  };

  if constexpr (std::is_same_v<T, bool>) {
    if (t != oid::boolean || b.size() != 1) throw bad("bool");
    return b[0] != 0;
  } else if constexpr (std::is_integral_v<T>) {
    if (t != oid::int2 && t != oid::int4 && t != oid::int8) throw bad("an integer");
    const auto v = detail::decode_int(b);
    if (!v) throw bad("an integer");
    if (*v < std::numeric_limits<T>::min() || *v > std::numeric_limits<T>::max())
      throw result_error("value " + std::to_string(*v) + " of column \"" + col + "\" does not fit the integer type");
    return static_cast<T>(*v);
  } else if constexpr (std::is_floating_point_v<T>) {
    std::optional<double> v;
    if (t == oid::float4 || t == oid::float8) v = detail::decode_float(b);
    else if (t == oid::numeric) v = detail::decode_numeric_double(b);
    else if (t == oid::int2 || t == oid::int4 || t == oid::int8) {
      if (auto i = detail::decode_int(b)) v = static_cast<double>(*i);
    } else throw bad("a floating-point number");
    if (!v) throw bad("a floating-point number");
    return static_cast<T>(*v);
  } else {
    if (is_text_type(t) || t == oid::bytea) return T(b);
    if (t == oid::jsonb) {
      if (b.empty() || b[0] != 1) throw bad("text (unknown jsonb version)");
      return T(b.substr(1));
    }
    if constexpr (std::is_same_v<T, std::string>) {
      if (t == oid::numeric) {
        if (auto s = detail::decode_numeric_text(b)) return *s;
      }
    }
    throw bad("text");
  }
}

template bool field::as<bool>() const;
template std::int16_t field::as<std::int16_t>() const;
template std::int32_t field::as<std::int32_t>() const;
template std::int64_t field::as<std::int64_t>() const;
template float field::as<float>() const;
template double field::as<double>() const;
template std::string field::as<std::string>() const;
template std::string_view field::as<std::string_view>() const;

row::row(std::shared_ptr<const detail::result_data> data, int row) : data_(std::move(data)), row_(row) {}

std::size_t row::size() const { return static_cast<std::size_t>(PQnfields(raw(data_))); }

field row::operator[](std::string_view label) const {
  PGresult* r = raw(data_);
  const int n = PQnfields(r);
  for (int c = 0; c < n; ++c) {
    const char* name = PQfname(r, c);
    if (std::strlen(name) == label.size() && label.compare(name) == 0) return field(data_, row_, c);
  }
  throw std::out_of_range("no column named '" + std::string(label) + "'");
}

field row::operator[](std::size_t index) const {
  if (index >= size())
    throw std::out_of_range("column index " + std::to_string(index) + " out of range (" + std::to_string(size()) +
                            " columns)");
  return field(data_, row_, static_cast<int>(index));
}

result::result(pg_result* res) : data_(std::make_shared<detail::result_data>()) {
  std::const_pointer_cast<detail::result_data>(data_)->res.reset(res);
}

std::size_t result::size() const { return data_ ? static_cast<std::size_t>(PQntuples(raw(data_))) : 0; }
std::size_t result::columns() const { return data_ ? static_cast<std::size_t>(PQnfields(raw(data_))) : 0; }

std::string_view result::column_name(std::size_t index) const {
  if (index >= columns()) throw std::out_of_range("column index " + std::to_string(index) + " out of range");
  return PQfname(raw(data_), static_cast<int>(index));
}

row result::operator[](std::size_t index) const {
  if (index >= size())
    throw std::out_of_range("row index " + std::to_string(index) + " out of range (" + std::to_string(size()) +
                            " rows)");
  return row(data_, static_cast<int>(index));
}

std::string_view result::command_tag() const { return data_ ? PQcmdStatus(raw(data_)) : ""; }

std::int64_t result::affected_rows() const {
  if (!data_) return 0;
  const char* n = PQcmdTuples(raw(data_));
  return *n ? std::stoll(n) : 0;
}

std::optional<row> result::first() const {
  if (empty()) return std::nullopt;
  return row(data_, 0);
}

std::optional<field> result::scalar_one_or_none() const {
  if (empty()) return std::nullopt;
  if (size() > 1) throw result_error("Multiple rows were found when one or none was required");
  if (columns() == 0) throw result_error("the statement returned no columns");
  return field(data_, 0, 0);
}

}  // namespace clients::pg
