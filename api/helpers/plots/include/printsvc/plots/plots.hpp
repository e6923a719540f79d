#pragma once

// Survey-plan renderer: scale choice, plan layout and the PNG picture of one parcel.
// Every function is safe to call from several threads at once; nothing is shared between calls.

#include <printsvc/plots/display_list.hpp>
#include <printsvc/plots/errors.hpp>
#include <printsvc/plots/limits.hpp>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace printsvc::plots {

/// Smallest standard scale (1:250 ... 1:25000) at which a survey of the given ground size, in
/// metres, fits the printable area of the sheet (sizes in millimetres, taken in landscape);
/// beyond 1:25000 the needed scale rounded up to a whole thousand.
/// Throws std::invalid_argument "Survey dimensions must be positive." for a non-positive survey
/// side, and std::invalid_argument when the sheet minus its margins has no positive area.
int get_recommended_scale(double survey_width_m, double survey_height_m, double paper_width_mm = 210,
                          double paper_height_mm = 297, double margin_mm = 10);

/// The plan as a page set-up plus its drawing items, in drawing order.
struct plan {
  page_setup page;
  std::vector<display_item> items;
  /// Labels left out, each naming its record and key: labels whose value is null in the
  /// records, and labels whose direction is undefined (coincident beacons).
  std::vector<std::string> notes;
};

/// Lays out the plan of the parcel in `parcel_data` whose `columnname` value equals
/// `selected_parcel_number` (Python-style equality: 5071 == 5071.0, a number never equals text).
/// Records are GeoJSON-like: "geometry": {"coordinates": [[[x, y], ...]]} in EPSG:26332 metres.
/// `road_data` may be null or empty. `bounding_box`, when an object with "minx", "maxx", "miny",
/// "maxy" and "srid", fixes the plot window instead of the parcel.
/// Every number read must be finite. The records are bounded (limits.hpp): at most 5000 parcel
/// records, 5000 roads, 5000 positions in one ring or road line, 5000 boundary entries,
/// 200000 positions in all, and 200 characters (code points) in every printed text: beacon
/// names, bearings, the parcel's name, and the side lengths and area with two decimals.
/// Printed texts must hold only characters every format can print: no control characters but
/// tab and line breaks (drawn as spaces), no noncharacters (U+FDD0-U+FDEF, U+FFFE, U+FFFF and
/// their like in every plane), well-formed UTF-8.
/// Throws plan_input_error naming the record and key for bad input or input beyond those bounds.
plan plan_layout(const nlohmann::ordered_json& parcel_data, const nlohmann::ordered_json& selected_parcel_number,
                 const nlohmann::ordered_json& road_data, std::string_view columnname = "parcel_number",
                 const nlohmann::ordered_json& bounding_box = nullptr);

/// Draws the plan and returns the PNG file: 300 dpi, cropped tight to the page and its labels.
/// Throws render_timeout_error when drawing uses more than `time_limit` of the calling thread's
/// processor time (checked between display items, so one costly item may overrun it).
std::string render_png(const plan& p, std::chrono::milliseconds time_limit = default_render_time_limit);

/// The plan on one A4 landscape page of PDF: the page area centred on the sheet at exactly
/// 1:scale (a bounding box's window takes its true size at that scale), the same items at the
/// same places as the PNG, texts as text with their fonts embedded. Throws render_timeout_error
/// as render_png does.
std::string render_pdf(const plan& p, std::chrono::milliseconds time_limit = default_render_time_limit);

/// The same page as SVG, in millimetres (viewBox 0 0 297 210), texts as <text> elements.
std::string render_svg(const plan& p, std::chrono::milliseconds time_limit = default_render_time_limit);

/// What a full plan sheet asks for beyond the plan itself.
struct sheet_options {
  /// Keys of the selected parcel's record whose values the title block prints ("key: value"),
  /// at most max_sheet_fields, each of 1 to max_sheet_field_name_chars characters.
  std::vector<std::string> fields;
  /// The date as printed; today's (UTC, YYYY-MM-DD) when empty.
  std::string date;
};

/// A row of a sheet's beacon table, in EPSG:26332 metres.
struct beacon_row {
  std::string name;  ///< "-" where the records leave the name null
  double easting;
  double northing;
};

/// What a sheet prints besides the figure, read from the selected parcel's record.
struct sheet_facts {
  std::string parcel_number;  ///< the `columnname` value as printed
  std::string title;          ///< the parcel's name, or its number when the name is null
  std::string area;           ///< "1234.50 m²"
  std::string land_use;       ///< the record's "land_use", "-" when absent or null
  std::vector<std::pair<std::string, std::string>> fields;  ///< the named keys and their values
  std::string date;
  std::vector<beacon_row> beacons;  ///< in boundary order
};

/// Reads the sheet's facts from the records plan_layout accepts. Throws plan_input_error for
/// field names beyond the limits, a named key the selected record lacks, a value that is no
/// text, number, true/false or null, or a text (value, field name, date) that cannot be printed
/// (as for plan_layout).
sheet_facts read_sheet_facts(const nlohmann::ordered_json& parcel_data,
                             const nlohmann::ordered_json& selected_parcel_number, std::string_view columnname,
                             const sheet_options& options);

/// The plan on a full A4 landscape sheet: a border, the figure at exactly 1:scale with grid
/// ticks in EPSG:26332 on its frame, a title block, a north arrow, a scale bar and the beacon
/// table; beacons that do not fit go on further pages. Throws render_timeout_error as
/// render_pdf does.
std::string render_sheet_pdf(const plan& p, const sheet_facts& facts,
                             std::chrono::milliseconds time_limit = default_render_time_limit);

/// The first page of that sheet as SVG (millimetres); beacons beyond the table are counted.
std::string render_sheet_svg(const plan& p, const sheet_facts& facts,
                             std::chrono::milliseconds time_limit = default_render_time_limit);

/// The first page of that sheet as a 300 dpi PNG of the whole A4 page.
std::string render_sheet_png(const plan& p, const sheet_facts& facts,
                             std::chrono::milliseconds time_limit = default_render_time_limit);

/// Several plans in one PDF, a page each, in the order they are added. Not for use by several
/// threads at once.
class pdf_book {
 public:
  pdf_book();
  ~pdf_book();
  pdf_book(pdf_book&&) noexcept;
  pdf_book& operator=(pdf_book&&) noexcept;

  /// Adds the page of `p`, as render_pdf draws it.
  void add(const plan& p, std::chrono::milliseconds time_limit = default_render_time_limit);
  /// Adds the pages of `p` on a full sheet, as render_sheet_pdf draws them.
  void add_sheet(const plan& p, const sheet_facts& facts,
                 std::chrono::milliseconds time_limit = default_render_time_limit);
  /// Adds a page holding only `text`: where a plan of a batch could not be drawn, and why.
  /// Characters that cannot be printed are drawn as U+FFFD: a reason may quote any input.
  void add_notice(std::string_view text);
  std::size_t pages() const;
  /// The finished file; the book is empty afterwards.
  std::string finish();

 private:
  struct state;
  std::unique_ptr<state> s_;
};

struct printed_size_mm {
  double width;
  double height;
};

struct plot_result {
  std::string image64;       ///< the PNG file in base64 (standard alphabet, padded, one line)
  printed_size_mm size_mm;   ///< nominal printed size (target_width_mm, target_height_mm)
  int scale;
  std::vector<std::string> notes;  ///< labels left out (plan::notes)
};

enum class plan_format { png, pdf, svg };

/// The plan as a file of one of the three formats, with what generate_plot reports beside it.
struct plan_file {
  std::string bytes;
  printed_size_mm size_mm;  ///< as generate_plot reports it, whatever the format
  int scale;
  std::vector<std::string> notes;
};

/// plan_layout, then render_png, render_pdf or render_svg; `time_limit` covers the whole call.
/// With `sheet`, the plan on a full sheet instead (render_sheet_*), its size_mm that of A4.
plan_file render_plan_file(const nlohmann::ordered_json& parcel_data,
                           const nlohmann::ordered_json& selected_parcel_number,
                           const nlohmann::ordered_json& road_data, std::string_view columnname,
                           const nlohmann::ordered_json& bounding_box, plan_format format,
                           std::chrono::milliseconds time_limit = default_render_time_limit,
                           const std::optional<sheet_options>& sheet = std::nullopt);

/// plan_layout, then render_png, then base64; `time_limit` (processor time, as for render_png)
/// covers the whole call, layout included.
plot_result generate_plot(const nlohmann::ordered_json& parcel_data,
                          const nlohmann::ordered_json& selected_parcel_number,
                          const nlohmann::ordered_json& road_data, std::string_view columnname = "parcel_number",
                          const nlohmann::ordered_json& bounding_box = nullptr,
                          std::chrono::milliseconds time_limit = default_render_time_limit);

}  // namespace printsvc::plots
