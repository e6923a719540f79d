#pragma once
// Results of a statement, read in the server's binary format. Columns are found by their
// label (exact, case-sensitive) or index; values are decoded by the column's type.
// A result, its rows and fields share ownership of the server's data: any of them may
// outlive the others. Every column travels in binary format, so a type the server cannot send
// in binary (PostGIS box2d, for one) must be cast in the SQL (e.g. to text or geometry).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

struct pg_result;

namespace clients::pg {

namespace detail {
struct result_data;
}

// Type OIDs the decoders know.
namespace oid {
inline constexpr std::uint32_t boolean = 16, bytea = 17, char_ = 18, name = 19, int8 = 20, int2 = 21,
                               int4 = 23, text = 25, oid_ = 26, json = 114, xml = 142, float4 = 700,
                               float8 = 701, unknown = 705, bpchar = 1042, varchar = 1043, numeric = 1700,
                               jsonb = 3802;
}

template <class T>
concept field_type = std::is_same_v<T, bool> || std::is_same_v<T, std::int16_t> ||
                     std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t> ||
                     std::is_same_v<T, float> || std::is_same_v<T, double> ||
                     std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>;

// One value of one row.
//   bool: boolean. Integers: int2/int4/int8 (a value that does not fit T is a result_error).
//   float/double: float4/float8/numeric and the integers. std::string: text, varchar, bpchar,
//   name, json, jsonb (without its version byte), xml, numeric (exact decimal text), bytea (raw).
//   std::string_view: the same without numeric, pointing into the result.
// Reading NULL or an unsupported type as a value throws result_error naming the column.
class field {
 public:
  field(std::shared_ptr<const detail::result_data> data, int row, int column);

  bool is_null() const;
  std::uint32_t type() const;
  std::string_view name() const;
  // The raw value as sent by the server in binary format (for bytea: the bytes themselves).
  std::string_view bytes() const;

  template <field_type T>
  T as() const;
  template <field_type T>
  std::optional<T> as_optional() const {
    if (is_null()) return std::nullopt;
    return as<T>();
  }

 private:
  std::shared_ptr<const detail::result_data> data_;
  int row_;
  int column_;
};

class row {
 public:
  row(std::shared_ptr<const detail::result_data> data, int row);

  std::size_t size() const;
  // Unknown label or index: std::out_of_range naming it.
  field operator[](std::string_view label) const;
  field operator[](std::size_t index) const;

  bool is_null(std::string_view label) const { return (*this)[label].is_null(); }
  bool is_null(std::size_t index) const { return (*this)[index].is_null(); }
  std::string_view bytes(std::string_view label) const { return (*this)[label].bytes(); }
  std::string_view bytes(std::size_t index) const { return (*this)[index].bytes(); }

  template <field_type T>
  T get(std::string_view label) const { return (*this)[label].template as<T>(); }
  template <field_type T>
  T get(std::size_t index) const { return (*this)[index].template as<T>(); }
  template <field_type T>
  std::optional<T> get_optional(std::string_view label) const { return (*this)[label].template as_optional<T>(); }
  template <field_type T>
  std::optional<T> get_optional(std::size_t index) const { return (*this)[index].template as_optional<T>(); }

 private:
  std::shared_ptr<const detail::result_data> data_;
  int row_;
};

class result {
 public:
  result() = default;
  // Takes ownership of a completed result.
  explicit result(pg_result* res);

  std::size_t size() const;  // rows
  bool empty() const { return size() == 0; }
  std::size_t columns() const;
  std::string_view column_name(std::size_t index) const;
  row operator[](std::size_t index) const;  // std::out_of_range past the end
  // The command tag ("SELECT 3", "UPDATE 2", "COMMIT", ...) and the rows it affected.
  std::string_view command_tag() const;
  std::int64_t affected_rows() const;

  // The first row, or none when there is none.
  std::optional<row> first() const;
  // The first column of the only row; none when there is no row. More than one row is a
  // result_error. The field itself may be NULL.
  std::optional<field> scalar_one_or_none() const;
  // Same, decoded; none also when the value is NULL.
  template <field_type T>
  std::optional<T> scalar_one_or_none() const {
    auto f = scalar_one_or_none();
    if (!f) return std::nullopt;
    return f->as_optional<T>();
  }

 private:
  std::shared_ptr<const detail::result_data> data_;
};

}  // namespace clients::pg
