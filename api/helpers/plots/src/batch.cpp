#include "printsvc/plots/batch.hpp"

#include <printsvc/plots/errors.hpp>

#include <cstdint>
#include <stdexcept>

namespace printsvc::plots {

void choose_sheet(plan_request& request, std::optional<bool> full,
                  const std::optional<std::vector<std::string>>& fields) {
  if (full) request.sheet = *full ? std::optional(request.sheet.value_or(sheet_options{})) : std::nullopt;
  if (request.sheet && fields) request.sheet->fields = *fields;
}

page_outcome add_plan_page(pdf_book& book, const std::string& label, std::optional<std::string_view> body,
                           const std::string& missing, const std::optional<sheet_options>& batch_sheet,
                           std::chrono::milliseconds time_limit) {
  page_outcome out;
  try {
    if (!body) throw std::invalid_argument(missing);
    plan_request request = read_plan_request(*body, batch_sheet ? batch_sheet->fields : std::vector<std::string>{});
    if (!request.sheet) request.sheet = batch_sheet;
    const auto plan = plan_layout(request.parcel_data, request.selected_parcel_number, request.road_data,
                                  request.columnname, request.bounding_box);
    if (request.sheet)
      book.add_sheet(plan,
                     read_sheet_facts(request.parcel_data, request.selected_parcel_number, request.columnname,
                                      *request.sheet),
                     time_limit);
    else
      book.add(plan, time_limit);
    out.notes = plan.notes;
  } catch (const std::invalid_argument& e) {
    out.failure = e.what();
  } catch (const render_timeout_error& e) {
    out.failure = e.what();
  }
  if (out.failure) book.add_notice("No plan for " + label + ": " + *out.failure);
  return out;
}

std::optional<std::int64_t> plot_id_of(const nlohmann::ordered_json& entry) {
  // Unsigned first: the JSON library counts unsigned numbers as integers too, and 2^64 - 1 read
  // as a signed one is -1.
  if (entry.is_number_unsigned()) {
    if (entry.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(entry.get<std::uint64_t>());
  }
  if (entry.is_number_integer()) return entry.get<std::int64_t>();
  return std::nullopt;
}

std::string page_label(std::size_t index, const nlohmann::ordered_json* id) {
  std::string label = "page " + std::to_string(index + 1);
  if (id)
    label += " (plot " + id->dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace).substr(0, 40) + ")";
  return label;
}

}  // namespace printsvc::plots
