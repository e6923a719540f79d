#include "logger.hpp"
#include "py_text.hpp"

#include <printsvc/plots/plots.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace printsvc::plots {

namespace {
constexpr std::array<int, 9> standard_scales{250, 500, 1000, 2000, 5000, 7500, 10000, 20000, 25000};
}

int get_recommended_scale(double survey_width_m, double survey_height_m, double paper_width_mm,
                          double paper_height_mm, double margin_mm) {
  const auto log = detail::logger();
  log->info("Searching for recommended scale...");
  if (survey_width_m <= 0 || survey_height_m <= 0) throw std::invalid_argument("Survey dimensions must be positive.");
  if (!std::isfinite(survey_width_m) || !std::isfinite(survey_height_m))
    throw std::invalid_argument("Survey dimensions must be finite.");

  // The usable area is always taken in landscape: the longer paper side is the width.
  const double usable_w = std::max(paper_width_mm, paper_height_mm) - 2 * margin_mm;
  const double usable_h = std::min(paper_width_mm, paper_height_mm) - 2 * margin_mm;
  if (!(usable_w > 0) || !(usable_h > 0))
    throw std::invalid_argument("Paper size minus margins must be positive.");
  const double min_raw_scale = std::max(survey_width_m * 1000 / usable_w, survey_height_m * 1000 / usable_h);

  for (const int scale : standard_scales) {
    if (scale <= min_raw_scale) continue;  // strictly greater only
    const double plotted_width = survey_width_m * 1000 / scale;
    const double plotted_height = survey_height_m * 1000 / scale;
    if (plotted_width <= usable_w * 0.96 && plotted_height <= usable_h * 0.8) {
      log->info("Found scale: " + std::to_string(scale));
      return scale;
    }
  }

  const double constrained_scale_w = survey_width_m * 1000 / (usable_w * 0.96);
  const double constrained_scale_h = survey_height_m * 1000 / (usable_h * 0.8);
  const double final_raw_scale = std::max({min_raw_scale, constrained_scale_w, constrained_scale_h});
  log->info("Final raw scale: " + detail::python_float_repr(final_raw_scale));
  const double rounded = std::ceil(final_raw_scale / 1000) * 1000;
  if (!(rounded <= std::numeric_limits<int>::max()))
    throw std::invalid_argument("Survey dimensions are too large for any printable scale.");
  return static_cast<int>(rounded);
}

}  // namespace printsvc::plots
