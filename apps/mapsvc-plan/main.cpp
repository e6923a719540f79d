// mapsvc-plan: renders a survey plan from a JSON request on the command line.

#include "layout_json.hpp"

#include <printsvc/plots/batch.hpp>
#include <printsvc/plots/plots.hpp>
#include <printsvc/plots/request.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace pl = printsvc::plots;
using json = nlohmann::ordered_json;

constexpr const char* usage_text = R"(usage: mapsvc-plan [--layout] [-o PLAN.png|PLAN.pdf|PLAN.svg] [--time-limit SECONDS] [INPUT.json]
       mapsvc-plan --sheet full [--sheet-fields KEY,...] [--date TEXT] -o SHEET.pdf|.svg|.png [INPUT.json]
       mapsvc-plan --batch [--sheet full ...] -o PLANS.pdf INPUT.json...

Renders the survey plan of one parcel. INPUT (or standard input when absent or "-") is a plan
request as the service's POST /plots/plan takes it: a JSON object with "parcel_data",
"selected_parcel_number" and optionally "road_data", "columnname" (default "parcel_number"),
"bounding_box" ({"minx", "maxx", "miny", "maxy", "srid"}), "sheet" and "sheet_fields" (the
options below take precedence).

  -o, --output FILE     write the plan to FILE instead of printing the result: PNG, or by the
                        name's ending a PDF (A4 landscape at true scale) or SVG
  --sheet full          the plan on a full A4 sheet: border, title block (parcel, area, land
                        use, scale, date), north arrow, scale bar, grid ticks in EPSG:26332
                        and the beacon table (continued on further PDF pages when long);
                        "figure" (the default) is the plan alone. Needs -o
  --sheet-fields KEYS   with --sheet full: keys of the parcel's record printed in the title
                        block, comma separated (at most 6)
  --date TEXT           the sheet's date instead of today's
  --batch               every INPUT is a plan: one PDF with a page each; a plan that cannot be
                        drawn gets a page saying why (exit status 1 unless all are drawn)
  --layout              print every drawn item in drawing order, one JSON object a line
  --time-limit SECONDS  give up after this much processor time per plan (default 3)
  -h, --help            show this help

Without -o or --layout, prints {"image": BASE64_PNG, "size_mm": [w, h], "scale": N}
(and "notes" when labels were left out: null names or bearings, coincident beacons).
The scale and printed size go to standard error. The records are held to the renderer's
limits (at most 5000 parcels and 5000 roads, 5000 positions in a ring or line, 200000 in
all, 200 characters in a printed text, none of them a control character other than tab and
line breaks or a noncharacter such as U+FFFF); input beyond them is refused with the reason.
)";

// The JSON library's messages quote the text they stopped at, which may be most of the file.
constexpr std::size_t max_message_chars = 300;

struct options {
  std::vector<std::string> inputs;
  bool batch = false;
  std::optional<std::string> input;
  std::optional<std::string> output;
  bool layout = false;
  std::optional<bool> sheet;  // none: as the input asks ("sheet" in the body)
  std::vector<std::string> sheet_fields;
  std::string date;
  std::chrono::milliseconds time_limit = pl::default_render_time_limit;
};

struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::chrono::milliseconds parse_seconds(const std::string& text) {
  std::size_t used = 0;
  double seconds = 0;
  try {
    seconds = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  // Up to a day: longer is no limit at all, and the milliseconds must fit their counter.
  if (used != text.size() || !(seconds > 0 && seconds <= 86400))
    throw usage_error("--time-limit needs a number of seconds between 0 and 86400, got " + text);
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

options parse_args(int argc, char** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage_text, stdout);
      std::exit(0);
    } else if (arg == "--layout") {
      o.layout = true;
    } else if (arg == "--batch") {
      o.batch = true;
    } else if (arg == "-o" || arg == "--output") {
      if (++i == argc) throw usage_error(arg + " needs a file name");
      o.output = argv[i];
    } else if (arg == "--sheet") {
      if (++i == argc) throw usage_error(arg + " needs full or figure");
      const std::string value = argv[i];
      if (value != "full" && value != "figure") throw usage_error("--sheet needs full or figure, got " + value);
      o.sheet = value == "full";
    } else if (arg == "--sheet-fields") {
      if (++i == argc) throw usage_error(arg + " needs a comma-separated list of keys");
      const std::string list = argv[i];
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) o.sheet_fields.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (arg == "--date") {
      if (++i == argc) throw usage_error(arg + " needs a date");
      o.date = argv[i];
    } else if (arg == "--time-limit") {
      if (++i == argc) throw usage_error(arg + " needs a number of seconds");
      o.time_limit = parse_seconds(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw usage_error("unknown option " + arg);
    } else {
      o.inputs.push_back(arg);
    }
  }
  if (o.layout && o.output) throw usage_error("--layout and -o exclude each other");
  if (o.sheet.value_or(false) && !o.output) throw usage_error("--sheet full needs -o FILE");
  if (o.batch) {
    if (o.layout) throw usage_error("--batch and --layout exclude each other");
    if (!o.output || !o.output->ends_with(".pdf")) throw usage_error("--batch needs -o FILE.pdf");
    if (o.inputs.empty()) throw usage_error("--batch needs at least one input file");
  } else if (o.inputs.size() > 1) {
    throw usage_error("only one input file may be given (or --batch)");
  } else if (!o.inputs.empty()) {
    o.input = o.inputs.front();
  }
  return o;
}

std::string read_input(const std::optional<std::string>& path) {
  if (!path || *path == "-") return {std::istreambuf_iterator<char>(std::cin), {}};
  std::ifstream in(*path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + *path + ": " + std::strerror(errno));
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string bounded(std::string text) {
  if (text.size() <= max_message_chars) return text;
  text.resize(max_message_chars);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80) text.pop_back();
  if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xc0) text.pop_back();
  return text + "...";
}

// A plan request read as the service reads a request body, with the command line's choice of
// sheet over the body's own.
pl::plan_request read_request(const std::string& text, const options& o) {
  pl::plan_request r = pl::read_plan_request(text, o.sheet_fields);
  pl::choose_sheet(r, o.sheet, o.sheet_fields.empty() ? std::nullopt : std::optional(o.sheet_fields));
  if (r.sheet && !o.date.empty()) r.sheet->date = o.date;
  return r;
}

void report_size(int scale, double width_mm, double height_mm) {
  std::fprintf(stderr, "scale 1:%d, printed size %.2f x %.2f mm\n", scale, width_mm, height_mm);
}

pl::plan_format format_of(const std::string& path) {
  if (path.ends_with(".pdf")) return pl::plan_format::pdf;
  if (path.ends_with(".svg")) return pl::plan_format::svg;
  return pl::plan_format::png;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
  std::fprintf(stderr, "wrote %s (%zu bytes)\n", path.c_str(), bytes.size());
}

void report_notes(const std::vector<std::string>& notes) {
  for (const auto& note : notes) std::fprintf(stderr, "note: %s\n", bounded(note).c_str());
}

// One page per input, in order, as the service draws a batch: an input that cannot be planned
// gets a page with the reason.
int run_batch(const options& o) {
  pl::pdf_book book;
  std::optional<pl::sheet_options> batch_sheet;
  if (o.sheet.value_or(false)) batch_sheet = pl::sheet_options{o.sheet_fields, o.date};
  int failed = 0;
  for (const auto& path : o.inputs) {
    std::optional<std::string> text;
    std::string missing;
    try {
      text = read_input(path);
    } catch (const std::exception& e) {
      missing = e.what();
    }
    const auto page = pl::add_plan_page(book, path, text ? std::optional<std::string_view>(*text) : std::nullopt,
                                        missing, batch_sheet, o.time_limit);
    if (page.failure) {
      ++failed;
      std::fprintf(stderr, "mapsvc-plan: %s: %s\n", path.c_str(), bounded(*page.failure).c_str());
    }
    report_notes(page.notes);
  }
  write_file(*o.output, book.finish());
  return failed ? 1 : 0;
}

int run(const options& o) {
  if (o.batch) return run_batch(o);
  const pl::plan_request r = read_request(read_input(o.input), o);
  if (o.layout) {
    const pl::plan plan =
        pl::plan_layout(r.parcel_data, r.selected_parcel_number, r.road_data, r.columnname, r.bounding_box);
    report_size(plan.page.scale, plan.page.target_width_mm, plan.page.target_height_mm);
    std::cout << mapsvc_plan::page_json(plan.page).dump() << '\n';
    for (const auto& item : plan.items) std::cout << mapsvc_plan::item_json(item).dump() << '\n';
    return 0;
  }

  // The server's own calls, so the time limit covers the layout as well as the drawing.
  if (!o.output) {
    const pl::plot_result result = pl::generate_plot(r.parcel_data, r.selected_parcel_number, r.road_data,
                                                     r.columnname, r.bounding_box, o.time_limit);
    report_size(result.scale, result.size_mm.width, result.size_mm.height);
    report_notes(result.notes);
    json out;
    out["image"] = result.image64;
    out["size_mm"] = {result.size_mm.width, result.size_mm.height};
    out["scale"] = result.scale;
    if (!result.notes.empty()) out["notes"] = result.notes;
    std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    return 0;
  }
  const pl::plan_file file = pl::render_plan_file(r.parcel_data, r.selected_parcel_number, r.road_data, r.columnname,
                                                  r.bounding_box, format_of(*o.output), o.time_limit, r.sheet);
  report_size(file.scale, file.size_mm.width, file.size_mm.height);
  report_notes(file.notes);
  write_file(*o.output, file.bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse_args(argc, argv));
  } catch (const usage_error& e) {
    std::fprintf(stderr, "mapsvc-plan: %s (see --help)\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc-plan: %s\n", bounded(e.what()).c_str());
    return 1;
  }
}
