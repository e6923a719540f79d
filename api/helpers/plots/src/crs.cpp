#include "crs.hpp"

#include "excerpt.hpp"
#include "py_text.hpp"

#include <printsvc/plots/errors.hpp>

#include <proj.h>

#include <cmath>
#include <memory>
#include <new>
#include <string>

namespace printsvc::plots::detail {

namespace {

struct context_deleter {
  void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
struct pj_deleter {
  void operator()(PJ* p) const { proj_destroy(p); }
};
using context_ptr = std::unique_ptr<PJ_CONTEXT, context_deleter>;
using pj_ptr = std::unique_ptr<PJ, pj_deleter>;

std::string proj_error(PJ_CONTEXT* ctx) {
  const char* text = proj_context_errno_string(ctx, proj_context_errno(ctx));
  return text ? text : "unknown PROJ error";
}

bool is_plan_srid(const nlohmann::ordered_json& srid) {
  // Only the number itself: the same code given as text is converted like any other system.
  return srid.is_number() && python_equal(srid, plan_srid);
}

}  // namespace

plot_window box_to_plan_crs(const plot_window& box, const nlohmann::ordered_json& srid) {
  if (is_plan_srid(srid)) return box;
  // A code is a number or a few characters of text; anything else would only reach PROJ as a
  // long string to parse before it fails.
  constexpr std::size_t max_code_chars = 32;
  if (!srid.is_number() && !(srid.is_string() && srid.get_ref<const std::string&>().size() <= max_code_chars))
    throw plan_input_error("bounding_box.srid: expected an EPSG code, got " + std::string(srid.type_name()) + " " +
                           excerpt(srid));

  const std::string source = "EPSG:" + python_str(srid);
  context_ptr ctx(proj_context_create());
  if (!ctx) throw std::bad_alloc();
  proj_log_level(ctx.get(), PJ_LOG_NONE);  // failures are reported through the exception

  const pj_ptr raw(proj_create_crs_to_crs(ctx.get(), source.c_str(), "EPSG:26332", nullptr));
  if (!raw)
    throw plan_input_error("bounding_box.srid: cannot convert from \"" + excerpt_text(source) + "\" to EPSG:26332: " +
                           proj_error(ctx.get()));
  // EPSG:4326 is latitude first by definition; the box comes longitude first.
  const pj_ptr transform(proj_normalize_for_visualization(ctx.get(), raw.get()));
  if (!transform) throw plan_input_error("bounding_box.srid: " + proj_error(ctx.get()));

  const auto convert = [&](double x, double y, const char* corner) {
    const PJ_COORD out = proj_trans(transform.get(), PJ_FWD, proj_coord(x, y, 0, 0));
    if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y))
      throw plan_input_error(std::string("bounding_box: the ") + corner + " corner cannot be converted from " +
                             excerpt_text(source) + " to EPSG:26332");
    return out.xy;
  };
  const PJ_XY low = convert(box.xmin, box.ymin, "(minx, miny)");
  const PJ_XY high = convert(box.xmax, box.ymax, "(maxx, maxy)");
  return {low.x, high.x, low.y, high.y};
}

}  // namespace printsvc::plots::detail
