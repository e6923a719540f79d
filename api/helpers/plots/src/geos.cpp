#include "geos.hpp"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace printsvc::plots::detail {

namespace {

void keep_message(const char* message, void* userdata) { *static_cast<std::string*>(userdata) = message; }

struct geometry_deleter {
  GEOSContextHandle_t handle;
  void operator()(GEOSGeometry* g) const { GEOSGeom_destroy_r(handle, g); }
};
using geometry_ptr = std::unique_ptr<GEOSGeometry, geometry_deleter>;

geometry_ptr own(geos_context& ctx, GEOSGeometry* g, const char* what) {
  if (!g) throw std::runtime_error(std::string("GEOS ") + what + " failed: " + ctx.last_error());
  return geometry_ptr(g, geometry_deleter{ctx.handle()});
}

GEOSCoordSequence* sequence(geos_context& ctx, const std::vector<point>& pts, bool close) {
  std::vector<double> xy;
  xy.reserve(2 * pts.size() + 2);
  for (const point& p : pts) xy.insert(xy.end(), {p.x, p.y});
  if (close && !pts.empty()) xy.insert(xy.end(), {pts.front().x, pts.front().y});
  GEOSCoordSequence* seq = GEOSCoordSeq_copyFromBuffer_r(ctx.handle(), xy.data(), xy.size() / 2, 0, 0);
  if (!seq) throw std::runtime_error("GEOS coordinate sequence failed: " + ctx.last_error());
  return seq;
}

std::vector<point> points_of(geos_context& ctx, const GEOSGeometry* line) {
  const GEOSCoordSequence* seq = GEOSGeom_getCoordSeq_r(ctx.handle(), line);
  unsigned int n = 0;
  if (!seq || !GEOSCoordSeq_getSize_r(ctx.handle(), seq, &n)) return {};
  std::vector<point> out(n);
  for (unsigned int i = 0; i < n; ++i) GEOSCoordSeq_getXY_r(ctx.handle(), seq, i, &out[i].x, &out[i].y);
  return out;
}

void collect_lines(geos_context& ctx, const GEOSGeometry* g, std::vector<std::vector<point>>& out) {
  switch (GEOSGeomTypeId_r(ctx.handle(), g)) {
    case GEOS_LINESTRING:
    case GEOS_LINEARRING:
      if (!GEOSisEmpty_r(ctx.handle(), g)) out.push_back(points_of(ctx, g));
      break;
    case GEOS_MULTILINESTRING:
    case GEOS_GEOMETRYCOLLECTION:
      for (int i = 0, n = GEOSGetNumGeometries_r(ctx.handle(), g); i < n; ++i)
        collect_lines(ctx, GEOSGetGeometryN_r(ctx.handle(), g, i), out);
      break;
    default:
      break;
  }
}

}  // namespace

geos_context::geos_context() : handle_(GEOS_init_r()) {
  if (!handle_) throw std::bad_alloc();
  GEOSContext_setErrorMessageHandler_r(handle_, keep_message, &last_error_);
}

geos_context::~geos_context() { GEOS_finish_r(handle_); }

std::optional<point> polygon_centroid(geos_context& ctx, const std::vector<point>& ring) {
  // The constructors take ownership of what they are given, also when they fail.
  GEOSGeometry* shell = GEOSGeom_createLinearRing_r(ctx.handle(), sequence(ctx, ring, true));
  const auto polygon = own(ctx, GEOSGeom_createPolygon_r(ctx.handle(), own(ctx, shell, "ring").release(), nullptr, 0),
                           "polygon");
  const auto centroid = own(ctx, GEOSGetCentroid_r(ctx.handle(), polygon.get()), "centroid");
  if (GEOSisEmpty_r(ctx.handle(), centroid.get())) return std::nullopt;
  point c{};
  GEOSGeomGetX_r(ctx.handle(), centroid.get(), &c.x);
  GEOSGeomGetY_r(ctx.handle(), centroid.get(), &c.y);
  return c;
}

std::vector<std::vector<point>> clip_line(geos_context& ctx, const std::vector<point>& line, const plot_window& window) {
  const auto road = own(ctx, GEOSGeom_createLineString_r(ctx.handle(), sequence(ctx, line, false)), "line string");
  const auto frame = own(ctx, GEOSGeom_createRectangle_r(ctx.handle(), window.xmin, window.ymin, window.xmax, window.ymax),
                         "rectangle");
  const auto clipped = own(ctx, GEOSIntersection_r(ctx.handle(), road.get(), frame.get()), "intersection");
  std::vector<std::vector<point>> parts;
  collect_lines(ctx, clipped.get(), parts);
  return parts;
}

}  // namespace printsvc::plots::detail
