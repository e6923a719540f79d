// The plan as SVG: the display list written as paths, circles and text elements, in millimetres
// on an A4 landscape sheet. Written here rather than through Cairo, whose SVG surface draws text
// as glyph outlines: a plan's names and bearings must stay searchable, selectable text.

#include "clip.hpp"
#include "deadline.hpp"
#include "page.hpp"
#include "sheet_layout.hpp"
#include "utf8.hpp"
#include "vector.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>
#include <variant>
#include <vector>

namespace printsvc::plots {

namespace {

constexpr double mm_per_pt = 25.4 / 72;
constexpr double clip_margin_mm = 2;  // wider than any line, so cut ends stay off the page area
constexpr const char* serif_families = "'DejaVu Serif', 'Liberation Serif', 'Times New Roman', serif";

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", v);
  std::string s = buf;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

std::string colour(const rgba& c) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", static_cast<int>(std::lround(std::clamp(c.r, 0.0, 1.0) * 255)),
                static_cast<int>(std::lround(std::clamp(c.g, 0.0, 1.0) * 255)),
                static_cast<int>(std::lround(std::clamp(c.b, 0.0, 1.0) * 255)));
  return buf;
}

// Text for an XML element: markup escaped, and only characters XML 1.0 allows (drawable_text
// leaves none it refuses), since plans built in code may hold anything.
std::string xml_text(const std::string& text) {
  std::string out;
  for (const char c : detail::drawable_text(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

class svg_writer {
 public:
  svg_writer(std::string& out, const page_setup& page, detail::sheet_offset offset)
      : page_(page), offset_(offset), out_(out) {
    mm_per_m_ = page.target_width_mm / (page.window.xmax - page.window.xmin);
  }

  detail::px_point at(point p) const {
    return {offset_.left_mm + (p.x - page_.window.xmin) * mm_per_m_,
            offset_.top_mm + (page_.window.ymax - p.y) * mm_per_m_};
  }
  std::vector<detail::px_point> at(const std::vector<point>& pts) const {
    std::vector<detail::px_point> out;
    out.reserve(pts.size());
    for (const point& p : pts) out.push_back(at(p));
    return out;
  }
  detail::px_rect page_area(double margin) const {
    return {offset_.left_mm - margin, offset_.top_mm - margin, offset_.left_mm + page_.target_width_mm + margin,
            offset_.top_mm + page_.target_height_mm + margin};
  }

  void path(const std::vector<detail::px_point>& pts, bool closed) {
    out_ += "d=\"M";
    for (std::size_t i = 0; i < pts.size(); ++i) out_ += (i ? " L" : "") + num(pts[i].x) + " " + num(pts[i].y);
    if (closed) out_ += " Z";
    out_ += "\"";
  }

  void operator()(const line_shape& line) {
    for (const auto& piece : detail::clip_polyline(at(line.points), page_area(clip_margin_mm))) {
      out_ += "<path ";
      path(piece, false);
      out_ += " fill=\"none\" stroke=\"" + colour(line.colour) + "\" stroke-opacity=\"" + num(line.colour.a) +
              "\" stroke-width=\"" + num(line.width_pt * mm_per_pt) +
              "\" stroke-linecap=\"square\" stroke-linejoin=\"round\"/>\n";
    }
  }

  void operator()(const polygon_shape& polygon) {
    const auto ring = detail::clip_polygon(at(polygon.ring), page_area(clip_margin_mm));
    if (ring.size() < 3) return;
    out_ += "<path ";
    path(ring, true);
    out_ += " fill=\"" + colour(polygon.fill) + "\" fill-opacity=\"" + num(polygon.fill.a) + "\" stroke=\"" +
            colour(polygon.edge) + "\" stroke-opacity=\"" + num(polygon.edge.a) + "\" stroke-width=\"" +
            num(polygon.edge_width_pt * mm_per_pt) + "\" stroke-linejoin=\"miter\"/>\n";
  }

  void operator()(const marker_shape& marker) {
    const auto c = at(marker.at);
    const double r = marker.diameter_pt * mm_per_pt / 2, edge = marker.edge_width_pt * mm_per_pt;
    const auto area = page_area(r + edge / 2);
    if (c.x < area.left || c.x > area.right || c.y < area.top || c.y > area.bottom) return;
    out_ += "<circle cx=\"" + num(c.x) + "\" cy=\"" + num(c.y) + "\" r=\"" + num(r) + "\" fill=\"" +
            colour(marker.colour) + "\" fill-opacity=\"" + num(marker.colour.a) + "\"";
    if (edge > 0)
      out_ += " stroke=\"" + colour(marker.colour) + "\" stroke-opacity=\"" + num(marker.colour.a) +
              "\" stroke-width=\"" + num(edge) + "\"";
    out_ += "/>\n";
  }

  // Centred on its anchor and turned about it, like the other outputs; texts are not clipped, but
  // one far off the sheet is left out.
  void operator()(const text_shape& text) {
    if (text.text.empty()) return;
    const auto c = at(text.anchor);
    if (!(c.x > -detail::a4_long_mm && c.x < 2 * detail::a4_long_mm && c.y > -detail::a4_short_mm &&
          c.y < 2 * detail::a4_short_mm))
      return;
    out_ += "<text x=\"" + num(c.x) + "\" y=\"" + num(c.y) + "\"";
    if (text.rotation_deg != 0)
      out_ += " transform=\"rotate(" + num(-text.rotation_deg) + " " + num(c.x) + " " + num(c.y) + ")\"";
    out_ += " font-size=\"" + num(text.size_pt * mm_per_pt) + "\"";
    if (text.weight != font_weight::normal) out_ += " font-weight=\"" + std::to_string(static_cast<int>(text.weight)) + "\"";
    out_ += ">" + xml_text(text.text) + "</text>\n";
  }

 private:
  page_setup page_;
  detail::sheet_offset offset_;
  double mm_per_m_ = 0;
  std::string& out_;
};

void check_svg_page(const page_setup& page) {
  const auto& w = page.window;
  if (!(w.xmax > w.xmin && w.ymax > w.ymin && page.target_width_mm > 0 && page.target_height_mm > 0) ||
      !std::isfinite(page.target_width_mm * page.target_height_mm))
    throw std::invalid_argument("plan page and window must have a finite positive size");
}

void open_document(std::string& out, int scale) {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(detail::a4_long_mm) +
         "mm\" height=\"" + num(detail::a4_short_mm) + "mm\" viewBox=\"0 0 " + num(detail::a4_long_mm) + " " +
         num(detail::a4_short_mm) + "\">\n";
  out += "<title>Survey plan, scale 1 : " + std::to_string(scale) + "</title>\n";
}

// The page area's white and the plan's items, geometry clipped to the page area, at `offset`.
void write_figure(std::string& out, const plan& p, const page_setup& page, detail::sheet_offset offset,
                  const detail::deadline& until) {
  svg_writer svg(out, page, offset);
  out += "<defs><clipPath id=\"page-area\"><rect x=\"" + num(offset.left_mm) + "\" y=\"" + num(offset.top_mm) +
         "\" width=\"" + num(page.target_width_mm) + "\" height=\"" + num(page.target_height_mm) +
         "\"/></clipPath></defs>\n";
  out += "<rect x=\"" + num(offset.left_mm) + "\" y=\"" + num(offset.top_mm) + "\" width=\"" +
         num(page.target_width_mm) + "\" height=\"" + num(page.target_height_mm) + "\" fill=\"#ffffff\"/>\n";

  std::vector<std::size_t> order(p.items.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return p.items[a].zorder < p.items[b].zorder; });
  // Geometry is clipped to the page area, texts are not: each run of one or the other in its group.
  bool in_geometry = false;
  bool in_text = false;
  for (const std::size_t i : order) {
    until.check();
    const bool text = std::holds_alternative<text_shape>(p.items[i].shape);
    if (text && !in_text) {
      if (in_geometry) out += "</g>\n";
      out += std::string("<g font-family=\"") + serif_families +
             "\" text-anchor=\"middle\" dominant-baseline=\"central\" fill=\"#000000\">\n";
    } else if (!text && !in_geometry) {
      if (in_text) out += "</g>\n";
      out += "<g clip-path=\"url(#page-area)\">\n";
    }
    in_text = text;
    in_geometry = !text;
    std::visit(svg, p.items[i].shape);
  }
  if (in_text || in_geometry) out += "</g>\n";
}

void write_furniture(std::string& out, const detail::sheet_page& page) {
  for (const auto& line : page.lines) {
    out += "<path d=\"M";
    for (std::size_t i = 0; i < line.points.size(); ++i)
      out += (i ? " L" : "") + num(line.points[i].x) + " " + num(line.points[i].y);
    if (line.closed) out += " Z";
    out += "\" fill=\"" + std::string(line.filled ? "#000000" : "none") + "\" stroke=\"#000000\" stroke-width=\"" +
           num(line.width_mm) + "\"/>\n";
  }
  out += std::string("<g font-family=\"") + serif_families + "\" dominant-baseline=\"central\" fill=\"#000000\">\n";
  for (const auto& text : page.texts) {
    if (text.text.empty()) continue;
    const char* anchor = text.anchor == detail::text_anchor::left     ? "start"
                         : text.anchor == detail::text_anchor::centre ? "middle"
                                                                        : "end";
    out += "<text x=\"" + num(text.at.x) + "\" y=\"" + num(text.at.y) + "\" text-anchor=\"" + anchor + "\"";
    if (text.rotation_deg != 0)
      out += " transform=\"rotate(" + num(-text.rotation_deg) + " " + num(text.at.x) + " " + num(text.at.y) + ")\"";
    out += " font-size=\"" + num(text.size_pt * mm_per_pt) + "\"";
    if (text.bold) out += " font-weight=\"700\"";
    out += ">" + xml_text(text.text) + "</text>\n";
  }
  out += "</g>\n";
}

}  // namespace

std::string render_svg(const plan& p, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const page_setup page = detail::true_scale_page(p.page);
  check_svg_page(page);
  std::string out;
  open_document(out, page.scale);
  write_figure(out, p, page, detail::centred_on_a4(page), until);
  out += "</svg>\n";
  return out;
}

std::string render_sheet_svg(const plan& p, const sheet_facts& facts, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const page_setup page = detail::true_scale_page(p.page);
  check_svg_page(page);
  const auto frame = detail::frame_sheet(page.target_width_mm, page.target_height_mm);
  const auto sheets = detail::compose_sheet(page, facts, false);
  std::string out;
  open_document(out, page.scale);
  out += "<rect x=\"0\" y=\"0\" width=\"" + num(detail::a4_long_mm) + "\" height=\"" + num(detail::a4_short_mm) +
         "\" fill=\"#ffffff\"/>\n";
  // On the sheet the frame is the figure's limit, texts included, as in the PDF.
  out += "<clipPath id=\"figure\"><rect x=\"" + num(frame.figure.left) + "\" y=\"" + num(frame.figure.top) +
         "\" width=\"" + num(frame.figure.width) + "\" height=\"" + num(frame.figure.height) + "\"/></clipPath>\n";
  out += "<g clip-path=\"url(#figure)\">\n";
  write_figure(out, p, page, {frame.figure.left, frame.figure.top}, until);
  out += "</g>\n";
  until.check();
  write_furniture(out, sheets.front());
  out += "</svg>\n";
  return out;
}

}  // namespace printsvc::plots
