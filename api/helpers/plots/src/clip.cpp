#include "clip.hpp"

#include <optional>
#include <utility>

namespace printsvc::plots::detail {

namespace {

enum class edge { left, top, right, bottom };

bool inside(const px_point& p, edge e, const px_rect& r) {
  switch (e) {
    case edge::left: return p.x >= r.left;
    case edge::right: return p.x <= r.right;
    case edge::top: return p.y >= r.top;
    case edge::bottom: return p.y <= r.bottom;
  }
  return false;
}

px_point crossing(const px_point& a, const px_point& b, edge e, const px_rect& r) {
  const bool vertical = e == edge::left || e == edge::right;
  const double bound = e == edge::left ? r.left : e == edge::right ? r.right : e == edge::top ? r.top : r.bottom;
  if (vertical) {
    const double t = (bound - a.x) / (b.x - a.x);
    return {bound, a.y + t * (b.y - a.y)};
  }
  const double t = (bound - a.y) / (b.y - a.y);
  return {a.x + t * (b.x - a.x), bound};
}

// The visible part [t0, t1] of segment a-b, if any.
std::optional<std::pair<double, double>> visible_span(const px_point& a, const px_point& b, const px_rect& r) {
  double t0 = 0, t1 = 1;
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a.x - r.left, r.right - a.x, a.y - r.top, r.bottom - a.y};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return std::nullopt;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) {
      if (t > t1) return std::nullopt;
      if (t > t0) t0 = t;
    } else {
      if (t < t0) return std::nullopt;
      if (t < t1) t1 = t;
    }
  }
  return std::pair{t0, t1};
}

px_point along(const px_point& a, const px_point& b, double t) { return {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)}; }

}  // namespace

std::vector<px_point> clip_polygon(const std::vector<px_point>& ring, const px_rect& r) {
  std::vector<px_point> out = ring;
  for (const edge e : {edge::left, edge::top, edge::right, edge::bottom}) {
    if (out.empty()) break;
    std::vector<px_point> in = std::move(out);
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
      const px_point& cur = in[i];
      const px_point& prev = in[(i + in.size() - 1) % in.size()];
      const bool cur_in = inside(cur, e, r), prev_in = inside(prev, e, r);
      if (cur_in != prev_in) out.push_back(crossing(prev, cur, e, r));
      if (cur_in) out.push_back(cur);
    }
  }
  return out;
}

std::vector<std::vector<px_point>> clip_polyline(const std::vector<px_point>& line, const px_rect& r) {
  std::vector<std::vector<px_point>> pieces;
  bool open = false;  // the last piece ends where the next segment starts
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    const auto span = visible_span(line[i], line[i + 1], r);
    if (!span) {
      open = false;
      continue;
    }
    if (!open || span->first > 0) pieces.push_back({along(line[i], line[i + 1], span->first)});
    pieces.back().push_back(along(line[i], line[i + 1], span->second));
    open = span->second == 1;
  }
  if (line.size() == 1 && visible_span(line[0], line[0], r)) pieces.push_back(line);
  return pieces;
}

}  // namespace printsvc::plots::detail
