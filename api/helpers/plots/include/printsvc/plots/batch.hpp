#pragma once

// Plans as the service and the command line take them: the caller's choice of sheet over a
// request body's own, and batches of plans drawn into one PDF, a page each, where a plan that
// cannot be drawn gets a page saying why instead of ending the batch.

#include <printsvc/plots/plots.hpp>
#include <printsvc/plots/request.hpp>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printsvc::plots {

/// The sheet a caller asks for (a query string, a command-line flag) over the one the body asks
/// for: `full` true draws a sheet (the body's, or a plain one), false the bare figure, none
/// leaves the body's choice; `fields`, when given, are the keys the sheet prints.
void choose_sheet(plan_request& request, std::optional<bool> full,
                  const std::optional<std::vector<std::string>>& fields);

/// What became of one page of a batch: drawn (with its plan's notes), or why not.
struct page_outcome {
  std::optional<std::string> failure;
  std::vector<std::string> notes;
};

/// Draws one page of a batch into `book` from a plan request body (read as read_plan_request
/// reads one). `body` none: there is nothing to draw, and `missing` says why. `batch_sheet` is
/// drawn for a body that asks for no sheet. A plan whose records are refused or that takes too
/// long gets a page "No plan for LABEL: why" instead, and the outcome says why.
page_outcome add_plan_page(pdf_book& book, const std::string& label, std::optional<std::string_view> body,
                           const std::string& missing, const std::optional<sheet_options>& batch_sheet,
                           std::chrono::milliseconds time_limit = default_render_time_limit);

/// A plot ID as a batch's "ids" names it; none for an entry that is no integer of 64 bits.
std::optional<std::int64_t> plot_id_of(const nlohmann::ordered_json& entry);

/// How a batch names its page `index` (from 0): "page 3", or with the entry of "ids" it was asked
/// for, "page 3 (plot 42)" (the entry as given, at most 40 characters).
std::string page_label(std::size_t index, const nlohmann::ordered_json* id = nullptr);

}  // namespace printsvc::plots
