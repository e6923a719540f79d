#pragma once

#include <printsvc/plots/plots.hpp>

#include <nlohmann/json.hpp>

namespace mapsvc_plan {

/// The page set-up as one JSON object (kind "page": the white page, drawn first).
nlohmann::ordered_json page_json(const printsvc::plots::page_setup& page);

/// One drawn item as a JSON object: kind, z-order, ground coordinates, style, and for labels
/// the text, size in points, weight and rotation.
nlohmann::ordered_json item_json(const printsvc::plots::display_item& item);

}  // namespace mapsvc_plan
