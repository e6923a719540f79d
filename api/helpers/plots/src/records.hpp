#pragma once

// Reading the plan's records (decoded JSON) into plain values. Every check names the record by
// its index and the key path, e.g. parcel_data[3].geometry.coordinates[0][2], and every size
// that drives the drawing's time or memory is held to its limit (limits.hpp) before anything
// is allocated for it.

#include <printsvc/plots/display_list.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printsvc::plots::detail {

using json = nlohmann::ordered_json;

/// Positions still allowed in the whole plan (max_total_positions); each reader takes its share
/// before reading, so the limit holds however the positions are spread over the records.
class position_budget {
 public:
  /// Takes `n` positions for the array at `where`; throws plan_input_error when fewer are left.
  void take(std::size_t n, const std::string& where);

 private:
  std::size_t used_ = 0;
};

/// Throws plan_input_error naming `where` when `text` holds a character that cannot be printed
/// (is_printable): refused rather than replaced, so that a plan never shows a label other than
/// the one recorded, and the same in every format.
void require_printable_chars(std::string_view text, const std::string& where);

/// Index of the first record whose `columnname` value equals `selected` (Python equality).
/// Every record must be an object holding that key; at most max_parcels records.
std::size_t select_parcel(const json& parcel_data, const json& selected, std::string_view columnname);

/// Outer ring (ring 0) of a parcel's polygon, without the closing position; at least three
/// positions. `where` names the record, e.g. "parcel_data[3]".
std::vector<point> read_parcel_ring(const json& record, const std::string& where, position_budget& budget);

/// The outer rings of every parcel record, in order.
std::vector<std::vector<point>> read_parcel_rings(const json& parcel_data, position_budget& budget);

/// The roads' line strings (at least two positions each); null or an empty array for none.
std::vector<std::vector<point>> read_roads(const json& road_data, position_budget& budget);

/// One entry of a parcel's "boundary": the beacon and the survey values of its side to the next.
/// A label whose value is null in the records is none: that label is left out of the drawing.
struct boundary_entry {
  point position;
  std::optional<std::string> name;
  double distance;
  std::optional<std::string> bearing_deg;  // printed as given
  std::optional<std::string> bearing_min;
};

std::vector<boundary_entry> read_boundary(const json& record, const std::string& where, position_budget& budget);

/// The selected parcel's "name" (as printed; none when null) and "area" (a number).
struct parcel_title {
  std::optional<std::string> name;
  double area;
};

parcel_title read_title(const json& record, const std::string& where);

/// A usable bounding box: an object with all of "minx", "maxx", "miny", "maxy" and "srid";
/// anything else means parcel mode. The four bounds must be finite numbers.
struct box_request {
  plot_window bounds;
  json srid;
};

std::optional<box_request> read_bounding_box(const json& bounding_box);

}  // namespace printsvc::plots::detail
