#include "png.hpp"
#include "render.hpp"

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots {

std::string render_png(const plan& p) { return detail::encode_png(detail::draw_plan(p)); }

plot_result generate_plot(const nlohmann::ordered_json& parcel_data,
                          const nlohmann::ordered_json& selected_parcel_number,
                          const nlohmann::ordered_json& road_data, std::string_view columnname,
                          const nlohmann::ordered_json& bounding_box) {
  const plan p = plan_layout(parcel_data, selected_parcel_number, road_data, columnname, bounding_box);
  return {detail::base64(render_png(p)), {p.page.target_width_mm, p.page.target_height_mm}, p.page.scale};
}

}  // namespace printsvc::plots
