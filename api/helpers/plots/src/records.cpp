#include "records.hpp"

#include "py_text.hpp"

#include <printsvc/plots/errors.hpp>

namespace printsvc::plots::detail {

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw plan_input_error(where + ": " + what); }

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

const json& require_key(const json& obj, std::string_view key, const std::string& where) {
  if (!obj.is_object()) fail(where, "expected an object, got " + std::string(obj.type_name()));
  const auto it = obj.find(key);
  if (it == obj.end()) fail(where, "missing key " + quoted(key));
  return *it;
}

const json& require_array(const json& v, const std::string& where) {
  if (!v.is_array()) fail(where, "expected an array, got " + std::string(v.type_name()));
  return v;
}

double require_number(const json& v, const std::string& where) {
  if (!v.is_number()) fail(where, "expected a number, got " + std::string(v.type_name()) + " " + v.dump());
  return v.get<double>();
}

// Names, bearings: printed as given, so text or a number.
std::string require_printable(const json& v, const std::string& where) {
  if (!v.is_string() && !v.is_number())
    fail(where, "expected text or a number, got " + std::string(v.type_name()));
  return python_str(v);
}

point read_position(const json& v, const std::string& where, bool exactly_two) {
  require_array(v, where);
  if (exactly_two ? v.size() != 2 : v.size() < 2)
    fail(where, std::string(exactly_two ? "a beacon position needs exactly two coordinates"
                                        : "a position needs at least two coordinates") +
                    ", got " + std::to_string(v.size()));
  return {require_number(v[0], where + "[0]"), require_number(v[1], where + "[1]")};
}

std::vector<point> read_positions(const json& v, const std::string& where) {
  require_array(v, where);
  std::vector<point> out;
  out.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out.push_back(read_position(v[i], where + "[" + std::to_string(i) + "]", false));
  return out;
}

const json& coordinates_of(const json& record, const std::string& where) {
  const json& geometry = require_key(record, "geometry", where);
  return require_key(geometry, "coordinates", where + ".geometry");
}

bool same(point a, point b) { return a.x == b.x && a.y == b.y; }

}  // namespace

std::size_t select_parcel(const json& parcel_data, const json& selected, std::string_view columnname) {
  require_array(parcel_data, "parcel_data");
  std::optional<std::size_t> found;
  // Every record is checked for the key, as every record is drawn and must be well-formed.
  for (std::size_t i = 0; i < parcel_data.size(); ++i) {
    const json& value = require_key(parcel_data[i], columnname, "parcel_data[" + std::to_string(i) + "]");
    if (!found && python_equal(value, selected)) found = i;
  }
  if (!found)
    throw plan_input_error("parcel_data: no parcel with " + std::string(columnname) + " " + selected.dump());
  return *found;
}

std::vector<point> read_parcel_ring(const json& record, const std::string& where) {
  const json& coordinates = coordinates_of(record, where);
  const std::string rings_where = where + ".geometry.coordinates";
  require_array(coordinates, rings_where);
  if (coordinates.empty()) fail(rings_where, "missing ring 0");
  const std::string ring_where = rings_where + "[0]";
  std::vector<point> ring = read_positions(coordinates[0], ring_where);
  // Rings may come closed or open; keep them open and let the drawing close them.
  if (ring.size() > 1 && same(ring.front(), ring.back())) ring.pop_back();
  if (ring.size() < 3)
    fail(ring_where, "a ring needs at least 3 positions besides the closing one, got " + std::to_string(ring.size()));
  return ring;
}

std::vector<std::vector<point>> read_parcel_rings(const json& parcel_data) {
  require_array(parcel_data, "parcel_data");
  std::vector<std::vector<point>> rings;
  rings.reserve(parcel_data.size());
  for (std::size_t i = 0; i < parcel_data.size(); ++i)
    rings.push_back(read_parcel_ring(parcel_data[i], "parcel_data[" + std::to_string(i) + "]"));
  return rings;
}

std::vector<std::vector<point>> read_roads(const json& road_data) {
  std::vector<std::vector<point>> roads;
  if (road_data.is_null()) return roads;
  require_array(road_data, "road_data");
  for (std::size_t i = 0; i < road_data.size(); ++i) {
    const std::string where = "road_data[" + std::to_string(i) + "]";
    auto line = read_positions(coordinates_of(road_data[i], where), where + ".geometry.coordinates");
    if (line.size() < 2)
      fail(where + ".geometry.coordinates", "a line needs at least 2 positions, got " + std::to_string(line.size()));
    roads.push_back(std::move(line));
  }
  return roads;
}

std::vector<boundary_entry> read_boundary(const json& record, const std::string& where) {
  const std::string list_where = where + ".boundary";
  const json& boundary = require_array(require_key(record, "boundary", where), list_where);
  std::vector<boundary_entry> entries;
  entries.reserve(boundary.size());
  for (std::size_t i = 0; i < boundary.size(); ++i) {
    const std::string at = list_where + "[" + std::to_string(i) + "]";
    const json& entry = boundary[i];
    boundary_entry e{};
    e.position = read_position(coordinates_of(entry, at), at + ".geometry.coordinates", true);
    e.name = require_printable(require_key(entry, "beacon_name", at), at + ".beacon_name");
    e.distance = require_number(require_key(entry, "distance_to_next", at), at + ".distance_to_next");
    e.bearing_deg = require_printable(require_key(entry, "bearing_deg_to_next", at), at + ".bearing_deg_to_next");
    e.bearing_min = require_printable(require_key(entry, "bearing_min_to_next", at), at + ".bearing_min_to_next");
    entries.push_back(std::move(e));
  }
  return entries;
}

parcel_title read_title(const json& record, const std::string& where) {
  return {require_printable(require_key(record, "name", where), where + ".name"),
          require_number(require_key(record, "area", where), where + ".area")};
}

std::optional<box_request> read_bounding_box(const json& bounding_box) {
  if (!bounding_box.is_object()) return std::nullopt;
  for (const char* key : {"minx", "maxx", "miny", "maxy", "srid"})
    if (!bounding_box.contains(key)) return std::nullopt;
  const auto bound = [&](const char* key) { return require_number(bounding_box[key], std::string("bounding_box.") + key); };
  return box_request{{bound("minx"), bound("maxx"), bound("miny"), bound("maxy")}, bounding_box["srid"]};
}

}  // namespace printsvc::plots::detail
