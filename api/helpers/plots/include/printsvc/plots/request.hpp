#pragma once

// Plan requests read straight from the JSON text of a request body. A body may be 16 MB; a
// document of all of it would take several times that, most of it for members the plan never
// reads. These readers parse the text in place and keep only what plan_layout and
// read_sheet_facts read, holding the limits of limits.hpp while they read, so memory follows
// what is drawn rather than what was sent.

#include <printsvc/plots/plots.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printsvc::plots {

/// What a plan request body asks for: the records plan_layout takes and the sheet, if any.
struct plan_request {
  nlohmann::ordered_json parcel_data;
  nlohmann::ordered_json selected_parcel_number;
  nlohmann::ordered_json road_data;  ///< null when the body has none
  std::string columnname = "parcel_number";
  nlohmann::ordered_json bounding_box;  ///< null when the body has none
  std::optional<sheet_options> sheet;   ///< none: the bare figure
};

/// Reads a plan request body: a JSON object with "parcel_data", "selected_parcel_number" and
/// optionally "road_data", "columnname" (text), "bounding_box", "sheet" ("full" or "figure") and
/// "sheet_fields" (at most max_sheet_fields record keys). Of the records it keeps each parcel's
/// selection key and outer ring, each road's line, the bounding box, and of the selected parcel
/// also its boundary, name, area, land use and the keys named in "sheet_fields" or in
/// `more_sheet_fields` (keys a caller will name in sheet_options itself); other members are
/// parsed and dropped. Throws plan_input_error for JSON that is malformed (naming the member
/// where it broke), nested deeper than 64 levels or holding a number beyond a double; for a
/// missing or mistyped member; and for records beyond the counts of limits.hpp, with the
/// messages plan_layout gives.
plan_request read_plan_request(std::string_view body, const std::vector<std::string>& more_sheet_fields = {});

/// What a batch body asks for: {"ids": [plot IDs]} or {"plans": [plan request bodies]}.
struct batch_request {
  bool by_id = false;
  std::vector<nlohmann::ordered_json> ids;  ///< the entries of "ids" as given
  /// The entries of "plans" as JSON text, views into the body read (which must outlive them),
  /// each to be read with read_plan_request when its page is drawn.
  std::vector<std::string_view> plans;
  bool all_or_nothing = false;
  std::optional<sheet_options> sheet;  ///< for every page whose body asks for none
};

/// Reads a batch body without reading its plans: "ids" or "plans" (exactly one, a non-empty
/// array of at most max_batch_plans entries), "all_or_nothing" (true or false), and "sheet" and
/// "sheet_fields" as for read_plan_request. Throws plan_input_error as read_plan_request does.
batch_request read_batch_request(std::string_view body);

}  // namespace printsvc::plots
