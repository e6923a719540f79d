#include "records.hpp"

#include "excerpt.hpp"
#include "py_text.hpp"
#include "utf8.hpp"

#include <printsvc/plots/errors.hpp>
#include <printsvc/plots/limits.hpp>

#include <cmath>

namespace printsvc::plots::detail {

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw plan_input_error(where + ": " + what); }

std::string quoted(std::string_view key) { return "\"" + excerpt_text(key) + "\""; }

std::string described(const json& v) {
  if (v.is_null()) return "null";
  return std::string(v.type_name()) + " " + excerpt(v);
}

void require_at_most(std::size_t limit, std::size_t count, std::string_view what, const std::string& where) {
  if (count > limit)
    fail(where, "at most " + std::to_string(limit) + " " + std::string(what) + ", got " + std::to_string(count));
}

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

// Records built in code (not parsed from JSON) can carry NaN or infinities; nothing downstream
// is meant for them, and an infinite extent would make the page maths meaningless.
double require_number(const json& v, const std::string& where) {
  if (!v.is_number()) fail(where, "expected a number, got " + described(v));
  const double d = v.get<double>();
  if (!std::isfinite(d)) fail(where, "expected a finite number, got " + python_float_repr(d));
  return d;
}

void require_printable_length(std::string_view text, const std::string& where) {
  require_at_most(max_label_chars, printed_length(text), "characters", where);
}

// Names, bearings: printed as given, so text or a number.
std::string require_printable(const json& v, const std::string& where) {
  if (!v.is_string() && !v.is_number())
    fail(where, "expected text or a number, got " + std::string(v.type_name()));
  if (!v.is_string()) return python_str(v);  // a number prints in a few dozen characters at most
  const std::string& text = v.get_ref<const std::string&>();
  require_printable_length(text, where);
  require_printable_chars(text, where);
  return text;
}

// A label the records may leave empty: null means "not known", which leaves the label out of
// the drawing rather than failing the plan. The key itself must still be there.
std::optional<std::string> optional_printable(const json& v, const std::string& where) {
  if (v.is_null()) return std::nullopt;
  return require_printable(v, where);
}

// A length or an area, printed with two decimals and its unit.
double require_measure(const json& v, const std::string& where, std::string_view unit) {
  const double d = require_number(v, where);
  require_printable_length(format_fixed2(d) + std::string(unit), where);
  return d;
}

point read_position(const json& v, const std::string& where, bool exactly_two) {
  require_array(v, where);
  if (exactly_two ? v.size() != 2 : v.size() < 2)
    fail(where, std::string(exactly_two ? "a beacon position needs exactly two coordinates"
                                        : "a position needs at least two coordinates") +
                    ", got " + std::to_string(v.size()));
  return {require_number(v[0], where + "[0]"), require_number(v[1], where + "[1]")};
}

std::vector<point> read_positions(const json& v, const std::string& where, std::string_view what,
                                  position_budget& budget) {
  require_array(v, where);
  require_at_most(max_line_positions, v.size(), what, where);
  budget.take(v.size(), where);
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

void require_printable_chars(std::string_view text, const std::string& where) {
  if (const auto bad = find_unprintable(text)) fail(where, describe(*bad));
}

void position_budget::take(std::size_t n, const std::string& where) {
  if (n > max_total_positions - used_)
    fail(where, "more than " + std::to_string(max_total_positions) + " positions in all the records");
  used_ += n;
}

std::size_t select_parcel(const json& parcel_data, const json& selected, std::string_view columnname) {
  require_array(parcel_data, "parcel_data");
  require_at_most(max_parcels, parcel_data.size(), "records", "parcel_data");
  std::optional<std::size_t> found;
  // Every record is checked for the key, as every record is drawn and must be well-formed.
  for (std::size_t i = 0; i < parcel_data.size(); ++i) {
    const json& value = require_key(parcel_data[i], columnname, "parcel_data[" + std::to_string(i) + "]");
    if (!found && python_equal(value, selected)) found = i;
  }
  if (!found)
    throw plan_input_error("parcel_data: no parcel with " + excerpt_text(columnname) + " " + excerpt(selected));
  return *found;
}

std::vector<point> read_parcel_ring(const json& record, const std::string& where, position_budget& budget) {
  const json& coordinates = coordinates_of(record, where);
  const std::string rings_where = where + ".geometry.coordinates";
  require_array(coordinates, rings_where);
  if (coordinates.empty()) fail(rings_where, "missing ring 0");
  const std::string ring_where = rings_where + "[0]";
  std::vector<point> ring = read_positions(coordinates[0], ring_where, "positions in a ring", budget);
  // Rings may come closed or open; keep them open and let the drawing close them.
  if (ring.size() > 1 && same(ring.front(), ring.back())) ring.pop_back();
  if (ring.size() < 3)
    fail(ring_where, "a ring needs at least 3 positions besides the closing one, got " + std::to_string(ring.size()));
  return ring;
}

std::vector<std::vector<point>> read_parcel_rings(const json& parcel_data, position_budget& budget) {
  require_array(parcel_data, "parcel_data");
  require_at_most(max_parcels, parcel_data.size(), "records", "parcel_data");
  std::vector<std::vector<point>> rings;
  rings.reserve(parcel_data.size());
  for (std::size_t i = 0; i < parcel_data.size(); ++i)
    rings.push_back(read_parcel_ring(parcel_data[i], "parcel_data[" + std::to_string(i) + "]", budget));
  return rings;
}

std::vector<std::vector<point>> read_roads(const json& road_data, position_budget& budget) {
  std::vector<std::vector<point>> roads;
  if (road_data.is_null()) return roads;
  require_array(road_data, "road_data");
  require_at_most(max_roads, road_data.size(), "roads", "road_data");
  roads.reserve(road_data.size());
  for (std::size_t i = 0; i < road_data.size(); ++i) {
    const std::string where = "road_data[" + std::to_string(i) + "]";
    auto line = read_positions(coordinates_of(road_data[i], where), where + ".geometry.coordinates",
                               "positions in a line", budget);
    if (line.size() < 2)
      fail(where + ".geometry.coordinates", "a line needs at least 2 positions, got " + std::to_string(line.size()));
    roads.push_back(std::move(line));
  }
  return roads;
}

std::vector<boundary_entry> read_boundary(const json& record, const std::string& where, position_budget& budget) {
  const std::string list_where = where + ".boundary";
  const json& boundary = require_array(require_key(record, "boundary", where), list_where);
  require_at_most(max_boundary_entries, boundary.size(), "entries", list_where);
  budget.take(boundary.size(), list_where);
  std::vector<boundary_entry> entries;
  entries.reserve(boundary.size());
  for (std::size_t i = 0; i < boundary.size(); ++i) {
    const std::string at = list_where + "[" + std::to_string(i) + "]";
    const json& entry = boundary[i];
    boundary_entry e{};
    e.position = read_position(coordinates_of(entry, at), at + ".geometry.coordinates", true);
    e.name = optional_printable(require_key(entry, "beacon_name", at), at + ".beacon_name");
    e.distance = require_measure(require_key(entry, "distance_to_next", at), at + ".distance_to_next", "m");
    e.bearing_deg = optional_printable(require_key(entry, "bearing_deg_to_next", at), at + ".bearing_deg_to_next");
    e.bearing_min = optional_printable(require_key(entry, "bearing_min_to_next", at), at + ".bearing_min_to_next");
    entries.push_back(std::move(e));
  }
  return entries;
}

parcel_title read_title(const json& record, const std::string& where) {
  return {optional_printable(require_key(record, "name", where), where + ".name"),
          require_measure(require_key(record, "area", where), where + ".area", "m²")};
}

std::optional<box_request> read_bounding_box(const json& bounding_box) {
  if (!bounding_box.is_object()) return std::nullopt;
  for (const char* key : {"minx", "maxx", "miny", "maxy", "srid"})
    if (!bounding_box.contains(key)) return std::nullopt;
  const auto bound = [&](const char* key) { return require_number(bounding_box[key], std::string("bounding_box.") + key); };
  return box_request{{bound("minx"), bound("maxx"), bound("miny"), bound("maxy")}, bounding_box["srid"]};
}

}  // namespace printsvc::plots::detail
