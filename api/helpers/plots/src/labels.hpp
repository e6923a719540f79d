#pragma once

// Label placement: where the beacon names, side lengths, bearings and the parcel's title go.
// Pure arithmetic in ground metres; paper offsets are converted with the scale.

#include <printsvc/plots/display_list.hpp>

#include <optional>
#include <string>
#include <vector>

namespace printsvc::plots::detail {

inline constexpr int label_zorder = 4;

/// One side of the selected parcel, from this beacon to the next (wrapping to the first).
struct beacon_record {
  double x, y;
  double next_x, next_y;
  std::optional<std::string> name;  // none: null in the records, not drawn
  double distance;                  // as surveyed, never recomputed
  std::optional<std::string> bearing_deg;  // texts as printed
  std::optional<std::string> bearing_min;
};

struct placed_labels {
  std::vector<display_item> items;
  /// Labels left out: a side with no length on the ground (coincident beacons), or a label
  /// whose value is null in the records. Each names the boundary entry.
  std::vector<std::string> notes;
};

/// Names outside each corner; for sides at least 20 mm long on paper (by surveyed distance) the
/// length 2 mm inside the side's midpoint and the bearing's degrees and minutes 2 mm outside,
/// all turned to read along their direction and never upside down.
placed_labels place_beacon_labels(const std::vector<beacon_record>& beacons, point centroid, int scale, int fontsize);

/// The parcel's name (bold, twice the size) at the centroid and its area 4 mm below; without
/// a name only the area.
std::vector<display_item> place_title(const std::optional<std::string>& name, double area, point centroid, int scale,
                                      int fontsize);

}  // namespace printsvc::plots::detail
