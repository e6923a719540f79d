#include "mapsvc/tile_gateway/change_plan.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <tuple>
#include <unordered_set>

#include "mapsvc/tile_gateway/cache_keys.hpp"
#include "mapsvc/tile_gateway/tile_checks.hpp"
#include "mapsvc/tile_gateway/zoom_policy.hpp"

namespace mapsvc::tile_gateway {
namespace {

using host::helpers::bounds_of;
using host::helpers::MAX_TILE_ZOOM;
using host::helpers::tile_address;
using host::helpers::WEB_MERCATOR_HALF_WORLD;

// Neighbouring envelopes from bounds_of may disagree on their shared edge by an ulp (a few
// nanometres); a micrometre keeps a feature lying on the edge in the tiles of both sides.
constexpr double EDGE_TOLERANCE = 1e-6;
// Half a metre from rounding the key's corners, and a millimetre so float noise never loses one.
constexpr double BOX_KEY_SLACK = 0.5 + 1e-3;
constexpr int FIRST_SERVED_ZOOM = 1;
constexpr int LAST_SERVED_ZOOM = 20;
constexpr double EARTH_RADIUS = 6378137.0;
constexpr double MAX_LATITUDE = 85.0511287798066;
constexpr mercator_box WORLD{-WEB_MERCATOR_HALF_WORLD, -WEB_MERCATOR_HALF_WORLD, WEB_MERCATOR_HALF_WORLD,
                             WEB_MERCATOR_HALF_WORLD};

bool is_finite(const mercator_box& b) {
  return std::isfinite(b.minx) && std::isfinite(b.miny) && std::isfinite(b.maxx) && std::isfinite(b.maxy);
}

mercator_box in_order(const mercator_box& b) {
  return {std::min(b.minx, b.maxx), std::min(b.miny, b.maxy), std::max(b.minx, b.maxx), std::max(b.miny, b.maxy)};
}

mercator_box clamped_to_world(const mercator_box& b) {
  const auto c = [](double v) { return std::clamp(v, -WEB_MERCATOR_HALF_WORLD, WEB_MERCATOR_HALF_WORLD); };
  return {c(b.minx), c(b.miny), c(b.maxx), c(b.maxy)};
}

bool boxes_meet(const mercator_box& a, const mercator_box& b, double slack) {
  return a.minx <= b.maxx + slack && b.minx <= a.maxx + slack && a.miny <= b.maxy + slack &&
         b.miny <= a.maxy + slack;
}

mercator_box hull(const mercator_box& a, const mercator_box& b) {
  return {std::min(a.minx, b.minx), std::min(a.miny, b.miny), std::max(a.maxx, b.maxx), std::max(a.maxy, b.maxy)};
}

bool box_less(const mercator_box& a, const mercator_box& b) {
  return std::tie(a.minx, a.miny, a.maxx, a.maxy) < std::tie(b.minx, b.miny, b.maxx, b.maxy);
}

// The indices i of n cells along one axis with lo(i) <= b + tol and hi(i) >= a - tol, where lo
// and hi grow with i and cell i starts near -HALF_WORLD + i * size. The estimate from the
// division is corrected against lo and hi themselves, so the answer agrees with bounds_of.
template <class Lo, class Hi>
std::pair<std::int64_t, std::int64_t> axis_span(double a, double b, double size, std::int64_t n, Lo lo, Hi hi) {
  const auto estimate = [&](double u) {
    const double i = std::floor((u + WEB_MERCATOR_HALF_WORLD) / size);
    return static_cast<std::int64_t>(std::clamp(i, 0.0, static_cast<double>(n - 1)));
  };
  const double low = a - EDGE_TOLERANCE, high = b + EDGE_TOLERANCE;
  std::int64_t first = estimate(low);
  while (first > 0 && hi(first - 1) >= low) --first;
  while (first < n - 1 && hi(first) < low) ++first;
  std::int64_t last = estimate(high);
  while (last < n - 1 && lo(last + 1) <= high) ++last;
  while (last > 0 && lo(last) > high) --last;
  // A box clamped to the world always meets a cell; never answer with an inverted span.
  return {std::min(first, last), std::max(first, last)};
}

std::string unquoted(std::string_view identifier) {
  if (identifier.size() < 2 || identifier.front() != '"' || identifier.back() != '"') return std::string(identifier);
  std::string out;
  const auto inner = identifier.substr(1, identifier.size() - 2);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;  // "" stands for "
  }
  return out;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t pos; (pos = text.find(sep, start)) != std::string_view::npos; start = pos + 1)
    fields.push_back(text.substr(start, pos - start));
  fields.push_back(text.substr(start));
  return fields;
}

// Digits as a formatter writes them: at least one, no sign, no leading zero but "0" itself.
bool plain_digits(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s.front() == '0')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool signed_digits(std::string_view s) { return plain_digits(s.starts_with('-') ? s.substr(1) : s); }

std::optional<std::int64_t> parse_int(std::string_view s) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_whole_metres(std::string_view s) {
  if (!signed_digits(s)) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc{} || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::vector<int> served_zooms(const std::string& layer) {
  std::vector<int> zooms;
  for (int z = FIRST_SERVED_ZOOM; z <= LAST_SERVED_ZOOM; ++z)
    if (get_zoom_config(z, layer)) zooms.push_back(z);
  return zooms;
}

std::uint64_t packed(std::int64_t x, std::int64_t y) {
  return (static_cast<std::uint64_t>(x) << 32) | static_cast<std::uint64_t>(y);
}

// The tiles of zoom z meeting any of the boxes, packed (x, y); none when there are more than
// `limit` distinct ones. Never holds more than `limit` + 1 tiles.
std::optional<std::vector<std::uint64_t>> tiles_within(const std::vector<mercator_box>& boxes, int z,
                                                       std::uint64_t limit) {
  std::vector<tile_span> spans;
  std::uint64_t total = 0;
  for (const auto& box : boxes) {
    const auto span = tiles_meeting(box, z);
    const auto count = span.count();
    if (count > limit) return std::nullopt;
    if (count == 0) continue;
    spans.push_back(span);
    total += count;
  }

  std::vector<std::uint64_t> tiles;
  if (total <= limit) {
    tiles.reserve(total);
    for (const auto& s : spans)
      for (auto x = s.x0; x <= s.x1; ++x)
        for (auto y = s.y0; y <= s.y1; ++y) tiles.push_back(packed(x, y));
  } else {
    // Overlapping edits may still fit: count distinct tiles, giving up past the limit.
    std::unordered_set<std::uint64_t> seen;
    for (const auto& s : spans)
      for (auto x = s.x0; x <= s.x1; ++x)
        for (auto y = s.y0; y <= s.y1; ++y)
          if (seen.insert(packed(x, y)).second && seen.size() > limit) return std::nullopt;
    tiles.assign(seen.begin(), seen.end());
  }
  return tiles;  // may repeat a tile within the limit: the plan's keys are made unique
}

// Boxes merged while any two overlap or touch; a merged box may reach one that neither part
// did, hence the passes until nothing changes. Taken by west edge, a box is only compared
// with the merged boxes that still reach that far east, so spread edits cost little.
std::vector<mercator_box> merged(std::vector<mercator_box> boxes) {
  for (bool changed = true; changed;) {
    changed = false;
    std::sort(boxes.begin(), boxes.end(), box_less);
    std::vector<mercator_box> out;
    std::vector<std::size_t> reaching;  // indices into out
    for (const auto& box : boxes) {
      std::erase_if(reaching, [&](std::size_t i) { return out[i].maxx < box.minx; });
      const auto it = std::find_if(reaching.begin(), reaching.end(),
                                   [&](std::size_t i) { return boxes_meet(out[i], box, 0); });
      if (it == reaching.end()) {
        reaching.push_back(out.size());
        out.push_back(box);
      } else {
        out[*it] = hull(out[*it], box);
        changed = true;
      }
    }
    boxes = std::move(out);
  }
  return boxes;
}

struct layer_edits {
  std::string layer;
  bool whole = false;
  std::vector<mercator_box> boxes;  // in order, unique
};

std::vector<layer_edits> edits_per_layer(const layer_catalogue& catalogue, std::span<const feed_change> changes) {
  std::vector<layer_edits> out;
  for (const auto& [layer, record] : catalogue) {
    const std::string table = unquoted(record.table);
    layer_edits edits{layer, false, {}};
    bool touched = false;
    for (const auto& change : changes) {
      if (change.table != table) continue;
      touched = true;
      // An extent that is no box cannot be placed: losing the edit would serve stale tiles.
      if (!change.extent || !is_finite(*change.extent))
        edits.whole = true;
      else
        edits.boxes.push_back(in_order(*change.extent));
    }
    if (!touched) continue;
    std::sort(edits.boxes.begin(), edits.boxes.end(), box_less);
    edits.boxes.erase(std::unique(edits.boxes.begin(), edits.boxes.end()), edits.boxes.end());
    out.push_back(std::move(edits));
  }
  return out;
}

}  // namespace

std::uint64_t tile_span::count() const {
  if (x1 < x0 || y1 < y0) return 0;
  return static_cast<std::uint64_t>(x1 - x0 + 1) * static_cast<std::uint64_t>(y1 - y0 + 1);
}

tile_span tiles_meeting(const mercator_box& box, int z) {
  if (z < 0 || z > MAX_TILE_ZOOM || !is_finite(box)) return {z, 0, -1, 0, -1};
  const auto b = clamped_to_world(in_order(box));
  const std::int64_t n = std::int64_t{1} << z;
  const double size = 2 * WEB_MERCATOR_HALF_WORLD / std::ldexp(1.0, z);
  const auto [x0, x1] = axis_span(
      b.minx, b.maxx, size, n, [z](std::int64_t i) { return bounds_of(z, i, 0).minx; },
      [z](std::int64_t i) { return bounds_of(z, i, 0).maxx; });
  // Rows count from the top: along -y they grow like columns do along x.
  const auto [y0, y1] = axis_span(
      -b.maxy, -b.miny, size, n, [z](std::int64_t i) { return -bounds_of(z, 0, i).maxy; },
      [z](std::int64_t i) { return -bounds_of(z, 0, i).miny; });
  return {z, x0, x1, y0, y1};
}

std::vector<feed_change> every_table_changed(const layer_catalogue& catalogue) {
  std::vector<feed_change> changes;
  for (const auto& [layer, record] : catalogue) changes.push_back(feed_change{unquoted(record.table), std::nullopt});
  return changes;
}

std::vector<std::string> layers_fed_by(const layer_catalogue& catalogue, std::string_view table) {
  std::vector<std::string> layers;
  for (const auto& [layer, record] : catalogue)
    if (unquoted(record.table) == table) layers.push_back(layer);
  return layers;
}

invalidation_plan plan_invalidation(const layer_catalogue& catalogue, std::span<const feed_change> changes,
                                    std::uint64_t max_tiles_per_zoom, std::uint64_t listed_at_once) {
  invalidation_plan plan;
  for (auto& edits : edits_per_layer(catalogue, changes)) {
    const auto zooms = served_zooms(edits.layer);
    plan.keys.push_back(centroid_cache_key(edits.layer));
    if (edits.whole) {
      // The centroid key stays: "{layer}:*" does not match "centroid:{layer}".
      plan.whole_layers.push_back(edits.layer);
      if (!zooms.empty()) plan.areas.push_back({edits.layer, WORLD, zooms.front(), LAST_SERVED_ZOOM});
      continue;
    }

    // A tile meeting a box has a child meeting it, so counts only grow with the zoom: once
    // one zoom is too many to count, so are all deeper ones.
    bool uncounted = false;
    for (const int z : zooms) {
      std::optional<std::vector<std::uint64_t>> tiles;
      if (!uncounted) tiles = tiles_within(edits.boxes, z, max_tiles_per_zoom);
      if (!tiles) {
        uncounted = true;
        plan.lookups.push_back({edits.layer, z, edits.boxes, std::nullopt});
        continue;
      }
      if (tiles->size() > listed_at_once) {
        plan.lookups.push_back({edits.layer, z, edits.boxes, tiles->size()});
        continue;
      }
      for (const auto t : *tiles)
        plan.keys.push_back(tile_cache_key(edits.layer, z, static_cast<std::int64_t>(t >> 32),
                                           static_cast<std::int64_t>(t & 0xffffffffu)));
    }
    if (!zooms.empty()) {
      std::vector<mercator_box> clamped;
      for (const auto& box : edits.boxes) clamped.push_back(clamped_to_world(box));
      for (const auto& box : merged(std::move(clamped)))
        plan.areas.push_back({edits.layer, box, zooms.front(), LAST_SERVED_ZOOM});
    }
    plan.box_tiles.emplace_back(edits.layer, std::move(edits.boxes));
  }
  std::sort(plan.keys.begin(), plan.keys.end());
  plan.keys.erase(std::unique(plan.keys.begin(), plan.keys.end()), plan.keys.end());
  return plan;
}

std::optional<std::vector<std::string>> lookup_keys(const invalidation_plan::lookup& lookup) {
  if (!lookup.tiles) return std::nullopt;
  const auto tiles = tiles_within(lookup.boxes, lookup.z, *lookup.tiles);
  if (!tiles) return std::nullopt;
  std::vector<std::string> keys;
  keys.reserve(tiles->size());
  for (const auto t : *tiles)
    keys.push_back(tile_cache_key(lookup.layer, lookup.z, static_cast<std::int64_t>(t >> 32),
                                  static_cast<std::int64_t>(t & 0xffffffffu)));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

std::optional<std::pair<std::string, tile_address>> parse_tile_key(std::string_view caller_key) {
  const auto fields = split(caller_key, ':');
  if (fields.size() != 4 || fields[0].empty()) return std::nullopt;
  if (!plain_digits(fields[1]) || !plain_digits(fields[2]) || !plain_digits(fields[3])) return std::nullopt;
  const auto z = parse_int(fields[1]), x = parse_int(fields[2]), y = parse_int(fields[3]);
  if (!z || !x || !y || !validate_tile_coords(*z, *x, *y)) return std::nullopt;
  return std::pair{std::string(fields[0]), tile_address{static_cast<int>(*z), *x, *y}};
}

bool tile_meets(const tile_address& tile, const std::vector<mercator_box>& boxes) {
  if (tile.z < 0 || tile.z > MAX_TILE_ZOOM) return false;
  const std::int64_t n = std::int64_t{1} << tile.z;
  if (tile.x < 0 || tile.x >= n || tile.y < 0 || tile.y >= n) return false;
  const auto t = bounds_of(tile.z, tile.x, tile.y);
  const mercator_box envelope{t.minx, t.miny, t.maxx, t.maxy};
  return std::any_of(boxes.begin(), boxes.end(), [&](const mercator_box& box) {
    return is_finite(box) && boxes_meet(envelope, clamped_to_world(in_order(box)), EDGE_TOLERANCE);
  });
}

std::optional<mercator_box> parse_bbox_key(std::string_view caller_key, std::string_view layer) {
  constexpr std::string_view PREFIX = "bbox:";
  if (!caller_key.starts_with(PREFIX)) return std::nullopt;
  caller_key.remove_prefix(PREFIX.size());
  if (!caller_key.starts_with(layer) || caller_key.substr(layer.size()).substr(0, 1) != ":") return std::nullopt;
  caller_key.remove_prefix(layer.size() + 1);

  const auto fields = split(caller_key, ':');
  if (fields.size() != 6) return std::nullopt;
  if (!signed_digits(fields[4]) || fields[4] == "-0" || !parse_int(fields[4])) return std::nullopt;
  if (fields[5] != "True" && fields[5] != "False") return std::nullopt;
  const auto minx = parse_whole_metres(fields[0]), miny = parse_whole_metres(fields[1]),
             maxx = parse_whole_metres(fields[2]), maxy = parse_whole_metres(fields[3]);
  if (!minx || !miny || !maxx || !maxy) return std::nullopt;
  return in_order({*minx, *miny, *maxx, *maxy});
}

bool box_tile_meets(const mercator_box& key_box, const std::vector<mercator_box>& boxes) {
  // A key box that is no box cannot be ruled out.
  if (!is_finite(key_box)) return !boxes.empty();
  const auto k = in_order(key_box);
  return std::any_of(boxes.begin(), boxes.end(),
                     [&](const mercator_box& box) { return boxes_meet(k, in_order(box), BOX_KEY_SLACK); });
}

wgs84_box to_wgs84(const mercator_box& box) {
  const auto b = in_order(box);
  const auto lon = [](double x) { return std::clamp(x / EARTH_RADIUS * 180.0 / std::numbers::pi, -180.0, 180.0); };
  const auto lat = [](double y) {
    const double deg = (2.0 * std::atan(std::exp(y / EARTH_RADIUS)) - std::numbers::pi / 2.0) * 180.0 / std::numbers::pi;
    return std::clamp(deg, -MAX_LATITUDE, MAX_LATITUDE);
  };
  return {lon(b.minx), lat(b.miny), lon(b.maxx), lat(b.maxy)};
}

}  // namespace mapsvc::tile_gateway
