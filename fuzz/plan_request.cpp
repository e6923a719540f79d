// A posted plan request: the body parsed as the host parses JSON bodies, its members read as
// the plan route reads them, then the plan laid out. Refusals the service answers with 422
// (plan_input_error, json_body_error) are expected; anything else escaping is a finding,
// since the route would answer it with a 500 or not at all. Drawing the PNG is left out:
// it costs far more than the layout and reads nothing the layout has not checked.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "host/http/json_body.hpp"
#include "printsvc/plots/plots.hpp"

namespace {
using json = nlohmann::ordered_json;

[[noreturn]] void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "finding: %s: %.*s\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 400)),
               detail.data());
  std::abort();
}

// The route's own reading of the body (its other refusals are 422 before the renderer runs).
bool lay_out(const json& doc) {
  if (!doc.is_object() || !doc.contains("parcel_data") || !doc.contains("selected_parcel_number")) return false;
  std::string columnname = "parcel_number";
  if (doc.contains("columnname") && !doc["columnname"].is_null()) {
    if (!doc["columnname"].is_string()) return false;
    columnname = doc["columnname"].get<std::string>();
  }
  const auto plan = printsvc::plots::plan_layout(doc["parcel_data"], doc["selected_parcel_number"],
                                                 doc.value("road_data", json()), columnname,
                                                 doc.value("bounding_box", json()));
  if (plan.items.empty()) finding("a plan without items");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // plan_layout logs every plan at info level through this logger when it exists.
  spdlog::register_logger(
      std::make_shared<spdlog::logger>("printsvc.plots", std::make_shared<spdlog::sinks::null_sink_mt>()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    lay_out(host::http::parse_json_body(body));
  } catch (const host::http::json_body_error&) {
  } catch (const printsvc::plots::plan_input_error&) {
  } catch (const std::exception& e) {
    finding("unexpected exception", e.what());
  }
  return 0;
}
