#include "page.hpp"

#include <printsvc/plots/plots.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace printsvc::plots::detail {

int font_size_for_scale(int scale) {
  constexpr int base_fontsize = 10;
  // nearbyint rounds halves to even under the default rounding mode.
  const auto font_scale_factor = static_cast<int>(std::nearbyint(std::log2(std::max(1.0, scale / 250.0))));
  return std::max(4, base_fontsize - font_scale_factor);
}

namespace {

page_setup finish(int scale, double target_width_mm, double target_height_mm, plot_window window) {
  page_setup page{};
  page.scale = scale;
  page.target_width_mm = target_width_mm;
  page.target_height_mm = target_height_mm;
  page.width_in = target_width_mm / 25.4;
  page.height_in = target_height_mm / 25.4;
  page.window = window;
  page.norm = 1000.0 / scale;
  page.fontsize = font_size_for_scale(scale);
  return page;
}

}  // namespace

page_setup parcel_page(point centre, int scale) {
  const double target_width_mm = usable_w_mm * 0.96;
  const double target_height_mm = usable_h_mm * 0.8;
  const double target_width_m = target_width_mm / 1000 * scale;
  const double target_height_m = target_height_mm / 1000 * scale;
  const plot_window window{centre.x - target_width_m / 2, centre.x + target_width_m / 2,
                           centre.y - target_height_m / 2, centre.y + target_height_m / 2};
  return finish(scale, target_width_mm, target_height_mm, window);
}

page_setup box_page(plot_window box) {
  const double bb_width_m = box.xmax - box.xmin;
  const double bb_height_m = box.ymax - box.ymin;
  if (!(bb_width_m > 0) || !(bb_height_m > 0)) throw plan_input_error("Bounding box dimensions must be positive.");
  int scale = 0;
  try {
    scale = get_recommended_scale(bb_width_m, bb_height_m, paper_width_mm, paper_height_mm, margin_mm);
  } catch (const std::invalid_argument& e) {  // a box too large for any scale
    throw plan_input_error(std::string("bounding_box: ") + e.what());
  }

  const double bb_aspect_ratio = bb_width_m / bb_height_m;
  const double usable_aspect_ratio = (usable_w_mm * 0.96) / (usable_h_mm * 0.8);
  double target_width_mm = 0, target_height_mm = 0;
  if (bb_aspect_ratio > usable_aspect_ratio) {
    target_width_mm = usable_w_mm * 0.96;
    target_height_mm = target_width_mm / bb_aspect_ratio;
  } else {
    target_height_mm = usable_h_mm * 0.8;
    target_width_mm = target_height_mm * bb_aspect_ratio;
  }
  return finish(scale, target_width_mm, target_height_mm, box);
}

}  // namespace printsvc::plots::detail
