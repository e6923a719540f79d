#include "mapsvc/tile_gateway/area_purge.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

#include <fmt/format.h>

#include "host/helpers/utils.hpp"
#include "host/http/errors.hpp"

namespace mapsvc::tile_gateway {
namespace {

[[noreturn]] void refuse(std::string detail) { throw host::http::http_error(400, std::move(detail)); }

std::optional<double> number_of(std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int> zoom_of(std::string_view text) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > 20) return std::nullopt;
  return v;
}

double mercator_x(double lon) { return lon * host::helpers::WEB_MERCATOR_HALF_WORLD / 180.0; }
double mercator_y(double lat) {
  const double rad = lat * std::numbers::pi / 180.0;
  return std::log(std::tan(std::numbers::pi / 4 + rad / 2)) * host::helpers::WEB_MERCATOR_HALF_WORLD / std::numbers::pi;
}

}  // namespace

area_purge parse_area_purge(std::string_view bbox, std::string_view srid, std::string_view zooms) {
  area_purge out;
  double c[4];
  std::size_t n = 0;
  for (std::string_view rest = bbox;;) {
    const auto comma = rest.find(',');
    const auto part = rest.substr(0, comma);
    if (n == 4) refuse("bbox must be four numbers: minx,miny,maxx,maxy");
    const auto v = number_of(part);
    if (!v) refuse("bbox must be four numbers: minx,miny,maxx,maxy");
    c[n++] = *v;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (n != 4) refuse("bbox must be four numbers: minx,miny,maxx,maxy");

  if (srid.empty() || srid == "4326") {
    out.srid = 4326;
    // The same range checks as box tiles, but no area limit: purging a whole district is fine.
    if (std::abs(c[0]) > 180 || std::abs(c[2]) > 180) refuse("Invalid longitude values");
    if (std::abs(c[1]) > 90 || std::abs(c[3]) > 90) refuse("Invalid latitude values");
    const double lat_limit = 85.0511287798066;
    out.box = {mercator_x(c[0]), mercator_y(std::clamp(c[1], -lat_limit, lat_limit)), mercator_x(c[2]),
               mercator_y(std::clamp(c[3], -lat_limit, lat_limit))};
  } else if (srid == "3857") {
    out.srid = 3857;
    out.box = {c[0], c[1], c[2], c[3]};
  } else {
    refuse("Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");
  }

  if (!zooms.empty()) {
    const auto dash = zooms.find('-');
    const auto a = zoom_of(zooms.substr(0, dash));
    const auto b = dash == std::string_view::npos ? a : zoom_of(zooms.substr(dash + 1));
    if (!a || !b || *a > *b) refuse("zooms must be a zoom or a range a-b within 1-20");
    out.min_zoom = *a;
    out.max_zoom = *b;
    out.zooms_given = true;
  }
  return out;
}

invalidation_plan area_purge_plan(const layer_catalogue& catalogue, std::string_view layer, const area_purge& purge) {
  std::vector<feed_change> changes;
  for (const auto& [name, record] : catalogue) {
    if (layer != "all" && name != layer) continue;
    std::string table = record.table;
    if (table.size() >= 2 && table.front() == '"' && table.back() == '"') table = table.substr(1, table.size() - 2);
    changes.push_back({std::move(table), purge.box});
  }
  auto plan = plan_invalidation(catalogue, changes);
  const auto wanted_layer = [&](std::string_view name) { return layer == "all" || name == layer; };

  invalidation_plan out;
  for (auto& key : plan.keys) {
    const auto tile = parse_tile_key(key);
    if (tile && wanted_layer(tile->first) && tile->second.z >= purge.min_zoom && tile->second.z <= purge.max_zoom)
      out.keys.push_back(std::move(key));
  }
  for (auto& lookup : plan.lookups)
    if (wanted_layer(lookup.layer) && lookup.z >= purge.min_zoom && lookup.z <= purge.max_zoom)
      out.lookups.push_back(std::move(lookup));
  if (!purge.zooms_given)
    for (auto& entry : plan.box_tiles)
      if (wanted_layer(entry.first)) out.box_tiles.push_back(std::move(entry));
  return out;
}

}  // namespace mapsvc::tile_gateway
