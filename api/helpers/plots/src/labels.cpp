#include "labels.hpp"

#include "py_text.hpp"

#include <cmath>
#include <numbers>
#include <optional>
#include <string_view>

namespace printsvc::plots::detail {

namespace {

struct vec {
  double x, y;
  vec operator+(vec o) const { return {x + o.x, y + o.y}; }
  vec operator-(vec o) const { return {x - o.x, y - o.y}; }
  vec operator*(double k) const { return {x * k, y * k}; }
  vec operator/(double k) const { return {x / k, y / k}; }
  vec operator-() const { return {-x, -y}; }
};

double dot(vec a, vec b) { return a.x * b.x + a.y * b.y; }
double length(vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }
double angle_deg(vec v) { return std::atan2(v.y, v.x) * 180 / std::numbers::pi; }

// Unit vector, or none for a zero-length one (its direction is undefined).
std::optional<vec> unit(vec v) {
  const double len = length(v);
  if (!(len > 0)) return std::nullopt;
  return v / len;
}

display_item text(item_kind kind, vec at, std::string s, double size, font_weight weight, double rotation) {
  return {kind, label_zorder, text_shape{{at.x, at.y}, std::move(s), size, weight, rotation}};
}

// Direction of a corner's name: the bisector of its two sides, turned away from the centroid.
std::optional<vec> name_direction(vec here, vec to_next, vec to_prev, vec centroid) {
  const auto to_next_norm = unit(to_next);
  const auto to_prev_norm = unit(to_prev);
  if (!to_next_norm || !to_prev_norm) return std::nullopt;
  vec bisector = *to_next_norm + *to_prev_norm;
  if (length(bisector) < 1e-8) bisector = {to_next_norm->y, -to_next_norm->x};  // straight on: the normal
  bisector = bisector / length(bisector);
  if (dot(bisector, centroid - here) > 0) bisector = -bisector;
  return bisector;
}

// How a note names a beacon: always by its entry, and by its name when it has one.
std::string beacon_called(const beacon_record& b, std::size_t i) {
  const std::string entry = "boundary[" + std::to_string(i) + "]";
  return b.name ? entry + " (beacon " + *b.name + ")" : entry;
}

std::string null_note(std::size_t i, std::string_view key, std::string_view left_out) {
  return "boundary[" + std::to_string(i) + "]." + std::string(key) + " is null: " + std::string(left_out) +
         " is left out";
}

}  // namespace

placed_labels place_beacon_labels(const std::vector<beacon_record>& beacons, point centroid_pt, int scale,
                                  int fontsize) {
  placed_labels out;
  const vec centroid{centroid_pt.x, centroid_pt.y};
  const double label_dist = scale >= 1000 ? 7.0 * scale / 1000 : 13.0 * scale / 1000;
  const double min_side = 20.0 * scale / 1000;
  const double norm = 1000.0 / scale;
  const double degmin_offset = 2 / norm;
  const double distance_offset = 2 / norm;
  const std::size_t n = beacons.size();

  for (std::size_t i = 0; i < n; ++i) {
    const beacon_record& b = beacons[i];
    const beacon_record& prev = beacons[(i + n - 1) % n];
    const vec here{b.x, b.y};
    const vec to_next = vec{b.next_x, b.next_y} - here;
    const vec to_prev = vec{prev.x, prev.y} - here;

    if (const auto bisector = name_direction(here, to_next, to_prev, centroid)) {
      const vec at = here + *bisector * label_dist;
      double label_angle = angle_deg(*bisector);
      if (std::fabs(label_angle) > 90 && std::fabs(label_angle) < 270) label_angle += 180;
      if (b.name)
        out.items.push_back(text(item_kind::beacon_name, at, *b.name, fontsize, font_weight::normal, label_angle));
      else
        out.notes.push_back(null_note(i, "beacon_name", "the beacon's name"));
    } else {
      out.notes.push_back(beacon_called(b, i) + " coincides with a neighbouring beacon: its name is left out");
    }

    if (b.distance < min_side) continue;  // under 20 mm on paper: no side labels
    const auto to_next_norm = unit(to_next);
    if (!to_next_norm) {
      out.notes.push_back(beacon_called(b, i) +
                          ": the side to the next beacon has no length on the ground: its length and bearing are left out");
      continue;
    }

    const vec mid = (here + vec{b.next_x, b.next_y}) / 2;
    double line_angle = angle_deg(to_next);
    bool reversed = false;
    if (line_angle > 90 || line_angle < -90) {
      line_angle += 180;
      reversed = true;
    }
    vec perp{-to_next_norm->y, to_next_norm->x};
    if (dot(perp, centroid - mid) > 0) perp = -perp;  // now points away from the parcel

    const vec dist_at = mid - perp * distance_offset;
    out.items.push_back(text(item_kind::side_length, dist_at, format_fixed2(b.distance) + "m", fontsize,
                             font_weight::medium, line_angle));

    // In the turned reading direction the degrees always come before the minutes.
    const double line_len = length(to_next);
    const double deg_factor = reversed ? 0.75 : 0.25;
    const double min_factor = reversed ? 0.25 : 0.75;
    const vec deg_at = here + *to_next_norm * line_len * deg_factor + perp * degmin_offset;
    const vec min_at = here + *to_next_norm * line_len * min_factor + perp * degmin_offset;
    if (b.bearing_deg)
      out.items.push_back(
          text(item_kind::bearing_degrees, deg_at, *b.bearing_deg, fontsize, font_weight::normal, line_angle));
    else
      out.notes.push_back(null_note(i, "bearing_deg_to_next", "the degrees of the side's bearing"));
    if (b.bearing_min)
      out.items.push_back(
          text(item_kind::bearing_minutes, min_at, *b.bearing_min, fontsize, font_weight::normal, line_angle));
    else
      out.notes.push_back(null_note(i, "bearing_min_to_next", "the minutes of the side's bearing"));
  }
  return out;
}

std::vector<display_item> place_title(const std::optional<std::string>& name, double area, point centroid, int scale,
                                      int fontsize) {
  const double area_offset = 4.0 * scale / 1000;
  std::vector<display_item> out;
  if (name) out.push_back(text(item_kind::parcel_name, {centroid.x, centroid.y}, *name, 2 * fontsize, font_weight::bold, 0));
  out.push_back(text(item_kind::parcel_area, {centroid.x, centroid.y - area_offset}, format_fixed2(area) + "m²",
                     fontsize, font_weight::normal, 0));
  return out;
}

}  // namespace printsvc::plots::detail

