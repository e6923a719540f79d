#pragma once

// The few GEOS operations a plan needs, each call on its own reentrant GEOS context.

#include <printsvc/plots/display_list.hpp>

#include <geos_c.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace printsvc::plots::detail {

class geos_context {
 public:
  geos_context();
  ~geos_context();
  geos_context(const geos_context&) = delete;
  geos_context& operator=(const geos_context&) = delete;

  GEOSContextHandle_t handle() const { return handle_; }
  /// The last error GEOS reported on this context.
  const std::string& last_error() const { return last_error_; }

 private:
  GEOSContextHandle_t handle_;
  std::string last_error_;
};

/// Centroid of the polygon through `ring` (open ring, three positions or more); none when GEOS
/// finds none (a ring without area or length).
std::optional<point> polygon_centroid(geos_context& ctx, const std::vector<point>& ring);

/// The parts of `line` inside `window`, in order; a line that leaves and re-enters the window
/// gives several parts. Touching points are dropped: they draw nothing.
std::vector<std::vector<point>> clip_line(geos_context& ctx, const std::vector<point>& line, const plot_window& window);

}  // namespace printsvc::plots::detail
