#include "layout_json.hpp"

#include <variant>

namespace mapsvc_plan {

namespace pl = printsvc::plots;
using json = nlohmann::ordered_json;

namespace {

json coords(const std::vector<pl::point>& pts) {
  json out = json::array();
  for (const auto& p : pts) out.push_back({p.x, p.y});
  return out;
}

json colour(const pl::rgba& c) { return {c.r, c.g, c.b, c.a}; }

json weight(pl::font_weight w) {
  switch (w) {
    case pl::font_weight::normal: return "normal";
    case pl::font_weight::bold: return "bold";
    default: return static_cast<int>(w);
  }
}

struct describe {
  json& out;
  void operator()(const pl::line_shape& s) const {
    out["coordinates"] = coords(s.points);
    out["colour"] = colour(s.colour);
    out["width_pt"] = s.width_pt;
  }
  void operator()(const pl::polygon_shape& s) const {
    out["coordinates"] = coords(s.ring);
    out["fill"] = colour(s.fill);
    out["edge"] = colour(s.edge);
    out["edge_width_pt"] = s.edge_width_pt;
  }
  void operator()(const pl::marker_shape& s) const {
    out["coordinates"] = coords({s.at});
    out["colour"] = colour(s.colour);
    out["diameter_pt"] = s.diameter_pt;
    out["edge_width_pt"] = s.edge_width_pt;
  }
  void operator()(const pl::text_shape& s) const {
    out["coordinates"] = coords({s.anchor});
    out["text"] = s.text;
    out["size_pt"] = s.size_pt;
    out["weight"] = weight(s.weight);
    out["rotation"] = s.rotation_deg;
  }
};

}  // namespace

json page_json(const pl::page_setup& page) {
  json out;
  out["kind"] = "page";
  out["scale"] = page.scale;
  out["size_mm"] = {page.target_width_mm, page.target_height_mm};
  out["size_in"] = {page.width_in, page.height_in};
  out["window"] = {page.window.xmin, page.window.ymin, page.window.xmax, page.window.ymax};
  out["fontsize"] = page.fontsize;
  return out;
}

json item_json(const pl::display_item& item) {
  json out;
  out["kind"] = std::string(pl::to_string(item.kind));
  out["zorder"] = item.zorder;
  std::visit(describe{out}, item.shape);
  return out;
}

}  // namespace mapsvc_plan
