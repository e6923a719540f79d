#pragma once

// The plan's layout under a time limit, for generate_plot: its whole call is bounded.

#include "deadline.hpp"

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots::detail {

/// plan_layout, abandoned with render_timeout_error once `until` has passed (checked between
/// roads: clipping a road that winds in and out of the window is the costly part).
plan plan_layout_until(const nlohmann::ordered_json& parcel_data, const nlohmann::ordered_json& selected_parcel_number,
                       const nlohmann::ordered_json& road_data, std::string_view columnname,
                       const nlohmann::ordered_json& bounding_box, deadline until);

}  // namespace printsvc::plots::detail
