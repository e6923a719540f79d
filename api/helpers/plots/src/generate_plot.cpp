#include "layout.hpp"
#include "png.hpp"
#include "render.hpp"
#include "vector.hpp"

#include <printsvc/plots/plots.hpp>

namespace printsvc::plots {

std::string render_png(const plan& p, std::chrono::milliseconds time_limit) {
  return detail::encode_png(detail::draw_plan(p, detail::deadline::after(time_limit)));
}

plot_result generate_plot(const nlohmann::ordered_json& parcel_data,
                          const nlohmann::ordered_json& selected_parcel_number,
                          const nlohmann::ordered_json& road_data, std::string_view columnname,
                          const nlohmann::ordered_json& bounding_box, std::chrono::milliseconds time_limit) {
  const auto until = detail::deadline::after(time_limit);
  const plan p = detail::plan_layout_until(parcel_data, selected_parcel_number, road_data, columnname, bounding_box, until);
  return {detail::base64(detail::encode_png(detail::draw_plan(p, until))),
          {p.page.target_width_mm, p.page.target_height_mm},
          p.page.scale,
          p.notes};
}

plan_file render_plan_file(const nlohmann::ordered_json& parcel_data,
                           const nlohmann::ordered_json& selected_parcel_number,
                           const nlohmann::ordered_json& road_data, std::string_view columnname,
                           const nlohmann::ordered_json& bounding_box, plan_format format,
                           std::chrono::milliseconds time_limit, const std::optional<sheet_options>& sheet) {
  const auto until = detail::deadline::after(time_limit);
  plan p = detail::plan_layout_until(parcel_data, selected_parcel_number, road_data, columnname, bounding_box, until);
  // What is left of the time limit for the drawing.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until.remaining());
  std::string bytes;
  if (sheet) {
    const sheet_facts facts = read_sheet_facts(parcel_data, selected_parcel_number, columnname, *sheet);
    switch (format) {
      case plan_format::png: bytes = render_sheet_png(p, facts, left); break;
      case plan_format::pdf: bytes = render_sheet_pdf(p, facts, left); break;
      case plan_format::svg: bytes = render_sheet_svg(p, facts, left); break;
    }
    return {std::move(bytes), {detail::a4_long_mm, detail::a4_short_mm}, p.page.scale, std::move(p.notes)};
  }
  switch (format) {
    case plan_format::png: bytes = detail::encode_png(detail::draw_plan(p, until)); break;
    case plan_format::pdf: bytes = render_pdf(p, left); break;
    case plan_format::svg: bytes = render_svg(p, left); break;
  }
  return {std::move(bytes), {p.page.target_width_mm, p.page.target_height_mm}, p.page.scale, std::move(p.notes)};
}

}  // namespace printsvc::plots
