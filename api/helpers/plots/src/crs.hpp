#pragma once

#include <printsvc/plots/display_list.hpp>

#include <nlohmann/json.hpp>

namespace printsvc::plots::detail {

/// The plan's reference system: metres of UTM zone 32N on Minna.
inline constexpr int plan_srid = 26332;

/// The box in EPSG:26332. Its two corners (min, then max) are converted from "EPSG:{srid}",
/// easting or longitude first, unless `srid` is the number 26332; the edges are not.
/// Throws plan_input_error when PROJ does not know the system or cannot convert a corner.
plot_window box_to_plan_crs(const plot_window& box, const nlohmann::ordered_json& srid);

}  // namespace printsvc::plots::detail
