#include "sheet_layout.hpp"

#include "page.hpp"
#include "py_text.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace printsvc::plots::detail {

namespace {

constexpr double sheet_w = 297, sheet_h = 210;
constexpr double border_inset = 6;
constexpr double slot_top = 13;  // room above the figure for the eastings
constexpr double furniture_top = 172.5, furniture_h = 30;
constexpr double tick_mm = 1.5;
constexpr double tick_label_gap = 3.2;  // from the frame to the label's centre
constexpr double tick_spacing_mm = 25;  // wider than a seven-digit northing at 6 pt
constexpr double tick_clearance_mm = 6;
constexpr double table_row_mm = 2.75;
constexpr std::size_t table_rows_on_sheet = 8;
constexpr std::size_t continued_groups = 3;
constexpr std::size_t continued_rows_per_group = 65;

// The smallest of 1, 2, 5 times a power of ten that is at least `v` (> 0).
double series_at_least(double v) {
  const double decade = std::pow(10.0, std::floor(std::log10(v)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (m * decade >= v * (1 - 1e-9)) return m * decade;
  return 10 * decade;
}

// The largest of 1, 2, 5 times a power of ten that is at most `v` (> 0).
double series_at_most(double v) {
  const double decade = std::pow(10.0, std::floor(std::log10(v)));
  for (const double m : {10.0, 5.0, 2.0, 1.0})
    if (m * decade <= v * (1 + 1e-9)) return m * decade;
  return decade / 2;
}

std::string metres_text(double v, double step) {
  char buf[48];
  std::snprintf(buf, sizeof buf, step >= 1 ? "%.0f" : "%.1f", v == 0 ? 0.0 : v);  // never "-0"
  return buf;
}

sheet_line rectangle(const rect_mm& r, double width_mm, bool filled = false) {
  return {{{r.left, r.top}, {r.right(), r.top}, {r.right(), r.bottom()}, {r.left, r.bottom()}}, width_mm, true, filled};
}

sheet_line segment(point a, point b, double width_mm) { return {{a, b}, width_mm, false, false}; }

sheet_text label(point at, std::string text, double size_pt, text_anchor anchor, double max_width_mm,
                 bool bold = false, double rotation_deg = 0) {
  return {at, fit_chars(text, chars_fitting(max_width_mm, size_pt)), size_pt, bold, anchor, rotation_deg, max_width_mm};
}

void add_ticks(sheet_page& out, const rect_mm& fig, const page_setup& page) {
  const auto& w = page.window;
  for (const auto& t : grid_ticks(w.xmin, w.xmax, page.scale, tick_spacing_mm, tick_clearance_mm)) {
    const double x = fig.left + t.offset_mm;
    const std::string text = metres_text(t.value_m, 1);
    out.lines.push_back(segment({x, fig.top - tick_mm}, {x, fig.top}, 0.2));
    out.lines.push_back(segment({x, fig.bottom()}, {x, fig.bottom() + tick_mm}, 0.2));
    out.texts.push_back(label({x, fig.top - tick_label_gap}, text, 6, text_anchor::centre, tick_spacing_mm));
    out.texts.push_back(label({x, fig.bottom() + tick_label_gap}, text, 6, text_anchor::centre, tick_spacing_mm));
  }
  for (const auto& t : grid_ticks(w.ymin, w.ymax, page.scale, tick_spacing_mm, tick_clearance_mm)) {
    const double y = fig.bottom() - t.offset_mm;
    const std::string text = metres_text(t.value_m, 1);
    out.lines.push_back(segment({fig.left - tick_mm, y}, {fig.left, y}, 0.2));
    out.lines.push_back(segment({fig.right(), y}, {fig.right() + tick_mm, y}, 0.2));
    out.texts.push_back(label({fig.left - tick_label_gap, y}, text, 6, text_anchor::centre, tick_spacing_mm, false, 90));
    out.texts.push_back(label({fig.right() + tick_label_gap, y}, text, 6, text_anchor::centre, tick_spacing_mm, false, 90));
  }
}

void add_title(sheet_page& out, const rect_mm& t, const page_setup& page, const sheet_facts& facts) {
  out.lines.push_back(rectangle(t, 0.3));
  out.texts.push_back(label({t.left + 2, t.top + 3.8}, "Survey plan of " + facts.title, 9, text_anchor::left,
                            t.width - 4, true));
  out.lines.push_back(segment({t.left, t.top + 7}, {t.right(), t.top + 7}, 0.2));
  const double column_w = (t.width - 6) / 2;
  const std::array<std::string, 5> own{"Parcel: " + facts.parcel_number, "Area: " + facts.area,
                                       "Land use: " + facts.land_use, "Scale: 1 : " + std::to_string(page.scale),
                                       "Date: " + facts.date};
  for (std::size_t i = 0; i < own.size(); ++i)
    out.texts.push_back(label({t.left + 2, t.top + 10.5 + i * 3.5}, own[i], 6.5, text_anchor::left, column_w));
  for (std::size_t i = 0; i < facts.fields.size() && i < max_sheet_fields; ++i)
    out.texts.push_back(label({t.left + 4 + column_w, t.top + 10.5 + i * 3.5},
                              facts.fields[i].first + ": " + facts.fields[i].second, 6.5, text_anchor::left, column_w));
}

void add_north_arrow(sheet_page& out, const rect_mm& n) {
  const double cx = n.left + n.width / 2;
  out.texts.push_back(label({cx, n.top + 5}, "N", 10, text_anchor::centre, n.width, true));
  const point tip{cx, n.top + 9}, notch{cx, n.top + 22};
  out.lines.push_back({{tip, {cx - 3.5, n.top + 26}, notch}, 0.2, true, true});
  out.lines.push_back({{tip, {cx + 3.5, n.top + 26}, notch}, 0.2, true, false});
}

void add_scale_bar(sheet_page& out, const rect_mm& s, int scale) {
  const double cx = s.left + s.width / 2;
  out.texts.push_back(label({cx, s.top + 4}, "Scale 1 : " + std::to_string(scale), 7, text_anchor::centre, s.width));
  const auto bar = divide_scale_bar(scale, s.width - 10);
  const double left = cx - bar.divisions * bar.step_mm / 2;
  for (int i = 0; i < bar.divisions; ++i)
    out.lines.push_back(rectangle({left + i * bar.step_mm, s.top + 11, bar.step_mm, 2.5}, 0.2, i % 2 == 0));
  for (int i = 0; i <= bar.divisions; ++i)
    out.texts.push_back(label({left + i * bar.step_mm, s.top + 16.5}, metres_text(i * bar.step_m, bar.step_m), 6,
                              text_anchor::centre, bar.step_mm + 4));
  out.texts.push_back(label({cx, s.top + 21.5}, "metres", 6, text_anchor::centre, s.width));
}

// A table of beacons in one column group: header, a line under it, then the rows from `top`.
void add_table_group(sheet_page& out, double left, double top, const std::vector<beacon_row>& beacons,
                     row_range rows) {
  out.texts.push_back(label({left + 2, top + 3.5}, "Beacon", 6.5, text_anchor::left, 22, true));
  out.texts.push_back(label({left + 55, top + 3.5}, "Easting", 6.5, text_anchor::right, 30, true));
  out.texts.push_back(label({left + 86, top + 3.5}, "Northing", 6.5, text_anchor::right, 30, true));
  out.lines.push_back(segment({left, top + 5.5}, {left + 89, top + 5.5}, 0.2));
  for (std::size_t i = 0; i < rows.count; ++i) {
    const auto& b = beacons[rows.first + i];
    const double y = top + 8.5 + i * table_row_mm;
    out.texts.push_back(label({left + 2, y}, b.name, 6, text_anchor::left, 22));
    out.texts.push_back(label({left + 55, y}, format_fixed2(b.easting), 6, text_anchor::right, 30));
    out.texts.push_back(label({left + 86, y}, format_fixed2(b.northing), 6, text_anchor::right, 30));
  }
}

}  // namespace

bool overlaps(const rect_mm& a, const rect_mm& b) {
  return a.left < b.right() && b.left < a.right() && a.top < b.bottom() && b.top < a.bottom();
}

sheet_frame frame_sheet(double figure_width_mm, double figure_height_mm) {
  const double slot_w = usable_w_mm * 0.96, slot_h = usable_h_mm * 0.8;
  const double slot_left = (sheet_w - slot_w) / 2;
  sheet_frame f{};
  f.border = {border_inset, border_inset, sheet_w - 2 * border_inset, sheet_h - 2 * border_inset};
  f.figure = {slot_left + (slot_w - figure_width_mm) / 2, slot_top + (slot_h - figure_height_mm) / 2, figure_width_mm,
              figure_height_mm};
  f.title = {8, furniture_top, 110, furniture_h};
  f.north_arrow = {120, furniture_top, 14, furniture_h};
  f.scale_bar = {136, furniture_top, 62, furniture_h};
  f.table = {200, furniture_top, 89, furniture_h};
  return f;
}

scale_bar_divisions divide_scale_bar(int scale, double max_length_mm) {
  if (!(scale > 0) || !(max_length_mm > 0) || !std::isfinite(max_length_mm))
    throw std::invalid_argument("a scale bar needs a positive scale and length");
  constexpr int divisions = 4;
  const double step_m = series_at_most(max_length_mm * scale / 1000.0 / divisions);
  return {step_m, divisions, step_m * 1000.0 / scale};
}

std::vector<grid_tick> grid_ticks(double min_m, double max_m, int scale, double min_spacing_mm,
                                  double end_clearance_mm) {
  std::vector<grid_tick> out;
  if (!(scale > 0) || !(min_spacing_mm > 0) || !(max_m > min_m) || !std::isfinite(max_m - min_m)) return out;
  const double mm_per_m = 1000.0 / scale;
  const double interval = series_at_least(min_spacing_mm / mm_per_m);
  // Counted in whole intervals, so that values stay round however many are added.
  const double first = std::ceil(min_m / interval), last = std::floor(max_m / interval);
  if (last - first > 10000) return out;  // no paper range asks for that many
  for (double k = first; k <= last; ++k) {
    const double v = k * interval;
    const double offset = (v - min_m) * mm_per_m;
    if (offset >= end_clearance_mm && (max_m - v) * mm_per_m >= end_clearance_mm) out.push_back({v, offset});
  }
  return out;
}

std::vector<row_range> paginate_rows(std::size_t rows, std::size_t first_page, std::size_t next_pages) {
  if (rows <= first_page) return {{0, rows}};
  if (next_pages == 0) throw std::invalid_argument("continuation pages need room for a row");
  const std::size_t kept = first_page > 0 ? first_page - 1 : 0;
  std::vector<row_range> out{{0, kept}};
  for (std::size_t at = kept; at < rows; at += next_pages) out.push_back({at, std::min(next_pages, rows - at)});
  return out;
}

std::string fit_chars(std::string_view text, std::size_t max_chars) {
  if (printed_length(text) <= max_chars) return std::string(text);
  if (max_chars == 0) return {};
  return std::string(leading_chars(text, max_chars - 1)) + "\u2026";
}

std::size_t chars_fitting(double width_mm, double size_pt) {
  const double char_mm = size_pt * 25.4 / 72 * 0.75;
  return width_mm > 0 && size_pt > 0 ? static_cast<std::size_t>(width_mm / char_mm) : 0;
}

std::vector<sheet_page> compose_sheet(const page_setup& page, const sheet_facts& facts, bool continuation_pages) {
  const sheet_frame f = frame_sheet(page.target_width_mm, page.target_height_mm);
  std::vector<sheet_page> pages(1);
  sheet_page& first = pages.front();
  first.lines.push_back(rectangle(f.border, 0.5));
  first.lines.push_back(rectangle(f.figure, 0.25));
  add_ticks(first, f.figure, page);
  add_title(first, f.title, page, facts);
  add_north_arrow(first, f.north_arrow);
  add_scale_bar(first, f.scale_bar, page.scale);

  first.lines.push_back(rectangle(f.table, 0.3));
  constexpr std::size_t per_page = continued_groups * continued_rows_per_group;
  const auto ranges = paginate_rows(facts.beacons.size(), table_rows_on_sheet, per_page);
  add_table_group(first, f.table.left, f.table.top, facts.beacons, ranges.front());
  const double last_y = f.table.top + 8.5 + ranges.front().count * table_row_mm;
  if (facts.beacons.empty()) {
    first.texts.push_back(label({f.table.left + 2, last_y}, "No beacons listed", 6, text_anchor::left, 80));
  } else if (ranges.size() > 1) {
    const std::size_t rest = facts.beacons.size() - ranges.front().count;
    first.texts.push_back(label({f.table.left + 2, last_y},
                                continuation_pages ? "continued on page 2"
                                                   : "and " + std::to_string(rest) + " more beacons (PDF sheet)",
                                6, text_anchor::left, 85));
  }
  if (!continuation_pages) return pages;

  for (std::size_t k = 1; k < ranges.size(); ++k) {
    sheet_page& next = pages.emplace_back();
    next.lines.push_back(rectangle(f.border, 0.5));
    next.texts.push_back(label({10, 12},
                               "Beacon coordinates of " + facts.title + " (continued), page " + std::to_string(k + 1) +
                                   " of " + std::to_string(ranges.size()),
                               9, text_anchor::left, 270, true));
    for (std::size_t g = 0; g < continued_groups; ++g) {
      const std::size_t first_row = ranges[k].first + g * continued_rows_per_group;
      const std::size_t end = ranges[k].first + ranges[k].count;
      if (first_row >= end) break;
      add_table_group(next, 8 + g * 93.0, 16, facts.beacons,
                      {first_row, std::min(continued_rows_per_group, end - first_row)});
    }
  }
  return pages;
}

}  // namespace printsvc::plots::detail
