// The facts a full sheet prints besides the figure, read from the same records as the plan.

#include "excerpt.hpp"
#include "py_text.hpp"
#include "records.hpp"
#include "utf8.hpp"

#include <printsvc/plots/plots.hpp>

#include <chrono>
#include <cstdio>

namespace printsvc::plots {

namespace {

using detail::json;

constexpr const char* unknown = "-";

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw plan_input_error(where + ": " + what); }

void check_field_names(const std::vector<std::string>& fields) {
  if (fields.size() > max_sheet_fields)
    fail("sheet_fields", "at most " + std::to_string(max_sheet_fields) + " fields, got " + std::to_string(fields.size()));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string where = "sheet_fields[" + std::to_string(i) + "]";
    const std::size_t chars = detail::printed_length(fields[i]);
    if (chars == 0) fail(where, "a field name cannot be empty");
    if (chars > max_sheet_field_name_chars)
      fail(where, "at most " + std::to_string(max_sheet_field_name_chars) + " characters, got " + std::to_string(chars));
    for (const unsigned char c : fields[i])
      if (c < 0x20 || c == 0x7f) fail(where, "a field name cannot hold control characters");
    detail::require_printable_chars(fields[i], where);
  }
}

// A record value as the title block prints it; the drawing cuts long texts to the block's width.
std::string printed_value(const json& v, const std::string& where) {
  if (v.is_null()) return unknown;
  if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
  if (v.is_string()) {
    const auto& text = v.get_ref<const std::string&>();
    detail::require_printable_chars(text, where);
    return std::string(detail::leading_chars(text, max_label_chars));
  }
  if (v.is_number()) return detail::python_str(v);
  fail(where, "expected text, a number, true/false or null, got " + std::string(v.type_name()));
}

std::string today_utc() {
  const auto day = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const std::chrono::year_month_day ymd{day};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()));
  return buf;
}

}  // namespace

sheet_facts read_sheet_facts(const json& parcel_data, const json& selected_parcel_number, std::string_view columnname,
                             const sheet_options& options) {
  check_field_names(options.fields);
  const std::size_t selected = detail::select_parcel(parcel_data, selected_parcel_number, columnname);
  const std::string where = "parcel_data[" + std::to_string(selected) + "]";
  const json& record = parcel_data[selected];

  sheet_facts facts;
  const json& number = record[std::string(columnname)];  // select_parcel found the key
  const std::string number_where = where + "." + detail::excerpt_text(columnname);
  facts.parcel_number = number.is_structured() ? detail::excerpt(number) : printed_value(number, number_where);
  const auto title = detail::read_title(record, where);
  facts.title = title.name.value_or(facts.parcel_number);
  facts.area = detail::format_fixed2(title.area) + " m²";
  facts.land_use = record.contains("land_use") ? printed_value(record["land_use"], where + ".land_use") : unknown;
  for (const auto& key : options.fields) {
    if (!record.contains(key)) fail("sheet_fields", where + " has no key \"" + detail::excerpt_text(key) + "\"");
    facts.fields.emplace_back(key, printed_value(record[key], where + "." + key));
  }
  detail::require_printable_chars(options.date, "date");
  facts.date = options.date.empty() ? today_utc() : std::string(detail::leading_chars(options.date, 40));

  detail::position_budget budget;
  for (const auto& entry : detail::read_boundary(record, where, budget))
    facts.beacons.push_back({entry.name.value_or(unknown), entry.position.x, entry.position.y});
  return facts;
}

}  // namespace printsvc::plots
