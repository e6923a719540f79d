#include "support.hpp"

#include <png.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace plots_test {

json position(double x, double y) { return json::array({x, y}); }

json ring_json(const std::vector<pl::point>& ring, bool closed) {
  json out = json::array();
  for (const auto& p : ring) out.push_back(position(p.x, p.y));
  if (closed) out.push_back(position(ring.front().x, ring.front().y));
  return out;
}

json beacon(const std::string& name, pl::point at, json distance, json deg, json min) {
  return {{"beacon_name", name},
          {"geometry", {{"type", "Point"}, {"coordinates", position(at.x, at.y)}}},
          {"distance_to_next", distance},
          {"bearing_deg_to_next", deg},
          {"bearing_min_to_next", min}};
}

json boundary_of(const std::vector<pl::point>& ring) {
  json out = json::array();
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const auto& a = ring[i];
    const auto& b = ring[(i + 1) % ring.size()];
    out.push_back(beacon("P" + std::to_string(i + 1), a, std::hypot(b.x - a.x, b.y - a.y)));
  }
  return out;
}

json parcel(json number, const std::vector<pl::point>& ring, json boundary, json name, json area) {
  json p = {{"parcel_number", number},
            {"name", name},
            {"area", area},
            {"geometry", {{"type", "Polygon"}, {"coordinates", json::array({ring_json(ring)})}}}};
  if (!boundary.is_null()) p["boundary"] = boundary;
  return p;
}

json road(const std::vector<pl::point>& line) {
  return {{"geometry", {{"type", "LineString"}, {"coordinates", ring_json(line, false)}}}};
}

std::vector<pl::point> square(double side, pl::point o) {
  return {{o.x, o.y}, {o.x + side, o.y}, {o.x + side, o.y + side}, {o.x, o.y + side}};
}

pl::plan layout(const json& parcels, const json& selected, const json& roads, const json& bbox) {
  return pl::plan_layout(parcels, selected, roads, "parcel_number", bbox);
}

std::vector<pl::text_shape> texts(const pl::plan& p, pl::item_kind kind) {
  std::vector<pl::text_shape> out;
  for (const auto& item : p.items)
    if (item.kind == kind) out.push_back(std::get<pl::text_shape>(item.shape));
  return out;
}

std::size_t count(const pl::plan& p, pl::item_kind kind) {
  std::size_t n = 0;
  for (const auto& item : p.items) n += item.kind == kind;
  return n;
}

image decode_png(const std::string& png) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, png.data(), png.size())) throw std::runtime_error(img.message);
  img.format = PNG_FORMAT_RGB;
  image out;
  out.width = static_cast<int>(img.width);
  out.height = static_cast<int>(img.height);
  out.rgb.resize(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, out.rgb.data(), 0, nullptr)) throw std::runtime_error(img.message);
  // pHYs by hand: the simplified reader does not expose it.
  const auto pos = png.find("pHYs");
  if (pos != std::string::npos) {
    const auto be32 = [&](std::size_t at) {
      const auto* b = reinterpret_cast<const unsigned char*>(png.data() + at);
      return std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
    };
    out.ppm_x = be32(pos + 4);
    out.ppm_y = be32(pos + 8);
  }
  return out;
}

void to_pixel(const pl::page_setup& page, pl::point p, int& x, int& y) {
  const double px_per_m = page.width_in * 300 / (page.window.xmax - page.window.xmin);
  x = static_cast<int>(std::floor((p.x - page.window.xmin) * px_per_m));
  y = static_cast<int>(std::floor((page.window.ymax - p.y) * px_per_m));
}

}  // namespace plots_test
