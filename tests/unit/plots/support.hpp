#pragma once

// Builders for plan records and readers for the plan's display list.

#include <printsvc/plots/plots.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace plots_test {

namespace pl = printsvc::plots;
using json = nlohmann::ordered_json;

inline json ring_json(const std::vector<pl::point>& ring, bool closed = true) {
  json out = json::array();
  for (const auto& p : ring) out.push_back({p.x, p.y});
  if (closed) out.push_back({ring.front().x, ring.front().y});
  return out;
}

/// A boundary entry; bearings default to whole numbers.
inline json beacon(const std::string& name, pl::point at, json distance, json deg = 45, json min = 30) {
  return {{"beacon_name", name},
          {"geometry", {{"type", "Point"}, {"coordinates", {at.x, at.y}}}},
          {"distance_to_next", distance},
          {"bearing_deg_to_next", deg},
          {"bearing_min_to_next", min}};
}

/// A boundary around `ring`, beacons named "P1".. in order, distances from the geometry.
inline json boundary_of(const std::vector<pl::point>& ring) {
  json out = json::array();
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const auto &a = ring[i], &b = ring[(i + 1) % ring.size()];
    out.push_back(beacon("P" + std::to_string(i + 1), a, std::hypot(b.x - a.x, b.y - a.y)));
  }
  return out;
}

inline json parcel(json number, const std::vector<pl::point>& ring, json boundary = nullptr, json name = "Plot",
                   json area = 1000.0) {
  json p = {{"parcel_number", number},
            {"name", name},
            {"area", area},
            {"geometry", {{"type", "Polygon"}, {"coordinates", json::array({ring_json(ring)})}}}};
  if (!boundary.is_null()) p["boundary"] = boundary;
  return p;
}

inline json road(const std::vector<pl::point>& line) {
  return {{"geometry", {{"type", "LineString"}, {"coordinates", ring_json(line, false)}}}};
}

/// By default the 100 m square (0,0) (100,0) (100,100) (0,100), which plans at 1:1000.
inline std::vector<pl::point> square(double side = 100, pl::point o = {0, 0}) {
  return {{o.x, o.y}, {o.x + side, o.y}, {o.x + side, o.y + side}, {o.x, o.y + side}};
}

inline pl::plan layout(const json& parcels, const json& selected, const json& roads = nullptr,
                       const json& bbox = nullptr) {
  return pl::plan_layout(parcels, selected, roads, "parcel_number", bbox);
}

/// The plan of a request of apps/mapsvc-plan/examples, named without ".json".
inline pl::plan example_plan(const std::string& name) {
  std::ifstream in(std::string(PLOTS_EXAMPLES_DIR) + "/" + name + ".json");
  const json r = json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  return pl::plan_layout(r["parcel_data"], r["selected_parcel_number"], r["road_data"],
                         r.value("columnname", "parcel_number"), r["bounding_box"]);
}

inline std::vector<pl::text_shape> texts(const pl::plan& p, pl::item_kind kind) {
  std::vector<pl::text_shape> out;
  for (const auto& item : p.items)
    if (item.kind == kind) out.push_back(std::get<pl::text_shape>(item.shape));
  return out;
}

inline std::size_t count(const pl::plan& p, pl::item_kind kind) {
  std::size_t n = 0;
  for (const auto& item : p.items) n += item.kind == kind;
  return n;
}

}  // namespace plots_test
