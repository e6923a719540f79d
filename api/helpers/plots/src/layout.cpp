#include "crs.hpp"
#include "geos.hpp"
#include "labels.hpp"
#include "layout.hpp"
#include "logger.hpp"
#include "page.hpp"
#include "records.hpp"

#include <printsvc/plots/plots.hpp>

#include <algorithm>
#include <stdexcept>

namespace printsvc::plots {

namespace {

using detail::json;

constexpr rgba black{0, 0, 0, 1};
constexpr rgba white{1, 1, 1, 1};
constexpr rgba red{1, 0, 0, 1};
constexpr rgba light_pink{1, 0.85, 0.85, 1};

struct envelope {
  double minx, miny, maxx, maxy;
};

envelope bounds_of(const std::vector<point>& ring) {
  envelope e{ring.front().x, ring.front().y, ring.front().x, ring.front().y};
  for (const point& p : ring) {
    e.minx = std::min(e.minx, p.x);
    e.miny = std::min(e.miny, p.y);
    e.maxx = std::max(e.maxx, p.x);
    e.maxy = std::max(e.maxy, p.y);
  }
  return e;
}

std::vector<detail::beacon_record> beacon_records(const std::vector<detail::boundary_entry>& boundary) {
  std::vector<detail::beacon_record> records;
  records.reserve(boundary.size());
  for (std::size_t i = 0; i < boundary.size(); ++i) {
    const auto& entry = boundary[i];
    const auto& next = boundary[(i + 1) % boundary.size()];
    records.push_back({entry.position.x, entry.position.y, next.position.x, next.position.y, entry.name,
                       entry.distance, entry.bearing_deg, entry.bearing_min});
  }
  return records;
}

}  // namespace

std::string_view to_string(item_kind kind) {
  switch (kind) {
    case item_kind::road: return "road";
    case item_kind::parcel: return "parcel";
    case item_kind::selected_parcel: return "selected_parcel";
    case item_kind::boundary_side: return "boundary_side";
    case item_kind::beacon: return "beacon";
    case item_kind::beacon_name: return "beacon_name";
    case item_kind::side_length: return "side_length";
    case item_kind::bearing_degrees: return "bearing_degrees";
    case item_kind::bearing_minutes: return "bearing_minutes";
    case item_kind::parcel_name: return "parcel_name";
    case item_kind::parcel_area: return "parcel_area";
  }
  return "unknown";
}

plan plan_layout(const json& parcel_data, const json& selected_parcel_number, const json& road_data,
                 std::string_view columnname, const json& bounding_box) {
  return detail::plan_layout_until(parcel_data, selected_parcel_number, road_data, columnname, bounding_box,
                                   detail::deadline::none());
}

plan detail::plan_layout_until(const json& parcel_data, const json& selected_parcel_number, const json& road_data,
                               std::string_view columnname, const json& bounding_box, deadline until) {
  const auto log = detail::logger();
  log->info("Generating plot with precise scaling...");

  // Read and check every record before any drawing work.
  const std::size_t selected = detail::select_parcel(parcel_data, selected_parcel_number, columnname);
  const std::string selected_where = "parcel_data[" + std::to_string(selected) + "]";
  detail::position_budget budget;
  const auto rings = detail::read_parcel_rings(parcel_data, budget);
  const auto roads = detail::read_roads(road_data, budget);
  const json& selected_record = parcel_data[selected];
  const auto boundary = detail::read_boundary(selected_record, selected_where, budget);
  const auto title = detail::read_title(selected_record, selected_where);
  const auto box = detail::read_bounding_box(bounding_box);
  const std::vector<point>& selected_ring = rings[selected];

  const envelope env = bounds_of(selected_ring);
  const double initial_width_m = (env.maxx - env.minx) + 2 * detail::page_buffer_m;
  const double initial_height_m = (env.maxy - env.miny) + 2 * detail::page_buffer_m;
  int parcel_scale = 0;
  try {
    parcel_scale = get_recommended_scale(initial_width_m, initial_height_m);
  } catch (const std::invalid_argument& e) {  // a parcel too large for any scale
    throw plan_input_error(selected_where + ".geometry.coordinates[0]: " + e.what());
  }

  detail::geos_context geos;
  const auto centroid = detail::polygon_centroid(geos, selected_ring);
  if (!centroid) throw plan_input_error(selected_where + ".geometry.coordinates[0]: the ring encloses no area");

  plan out;
  out.page = box ? detail::box_page(detail::box_to_plan_crs(box->bounds, box->srid))
                 : detail::parcel_page(*centroid, parcel_scale);
  const page_setup& page = out.page;
  auto& items = out.items;

  for (const auto& road : roads) {
    until.check();
    for (auto& part : detail::clip_line(geos, road, page.window))
      items.push_back({item_kind::road, 0, line_shape{std::move(part), {0, 0, 0, 0.5}, 0.55}});
  }
  for (const auto& ring : rings) items.push_back({item_kind::parcel, 1, polygon_shape{ring, white, black, 0.5}});
  items.push_back({item_kind::selected_parcel, 2, polygon_shape{selected_ring, light_pink, red, 0.75}});

  const auto beacons = beacon_records(boundary);
  for (const auto& b : beacons) {
    // A 2 pt disc with the usual 1 pt edge: 3 pt across.
    items.push_back({item_kind::beacon, 3, marker_shape{{b.x, b.y}, black, 2, 1}});
    items.push_back({item_kind::boundary_side, 2, line_shape{{{b.x, b.y}, {b.next_x, b.next_y}}, red, 0.75}});
  }

  auto labels = detail::place_beacon_labels(beacons, *centroid, page.scale, page.fontsize);
  std::move(labels.items.begin(), labels.items.end(), std::back_inserter(items));
  for (const auto& note : labels.notes) out.notes.push_back(selected_where + "." + note);
  if (!title.name) out.notes.push_back(selected_where + ".name is null: the parcel's name is left out");
  for (const auto& note : out.notes) log->warn(note);
  for (auto& item : detail::place_title(title.name, title.area, *centroid, page.scale, page.fontsize))
    items.push_back(std::move(item));

  std::stable_sort(items.begin(), items.end(),
                   [](const display_item& a, const display_item& b) { return a.zorder < b.zorder; });
  return out;
}

}  // namespace printsvc::plots
