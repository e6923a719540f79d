#include "plan_routes.hpp"

#include <malloc.h>

#include <variant>

#include <glib.h>

#include "host/database/session.hpp"
#include "host/http/errors.hpp"
#include "host/http/json_body.hpp"
#include "printsvc/plots/plots.hpp"

namespace mapsvc::plans {
namespace asio = boost::asio;
using host::http::param_type;
using host::http::request_context;
using host::http::response;
using json = nlohmann::ordered_json;

extern const char* const PLAN_RECORDS_SQL;  // apps/mapsvc/sql/plan_records.sql

namespace {

struct plan_request {
  json parcel_data;
  json selected_parcel_number;
  json road_data;
  std::string columnname = "parcel_number";
  json bounding_box;
};

// The renderer's input from a JSON document; a missing or mistyped member is a client error.
plan_request read_plan_request(json doc) {
  if (!doc.is_object()) throw host::http::http_error(422, "the request body must be a JSON object");
  for (const char* key : {"parcel_data", "selected_parcel_number"})
    if (!doc.contains(key)) throw host::http::http_error(422, std::string("missing \"") + key + "\"");
  plan_request r;
  r.parcel_data = std::move(doc["parcel_data"]);
  r.selected_parcel_number = std::move(doc["selected_parcel_number"]);
  if (doc.contains("road_data")) r.road_data = std::move(doc["road_data"]);
  if (doc.contains("columnname") && !doc["columnname"].is_null()) {
    if (!doc["columnname"].is_string()) throw host::http::http_error(422, "\"columnname\" must be text");
    r.columnname = doc["columnname"].get<std::string>();
  }
  if (doc.contains("bounding_box")) r.bounding_box = std::move(doc["bounding_box"]);
  return r;
}

// JSON text to picture, all of it on a renderer thread: a large body must not hold the event
// loop while it is parsed.
printsvc::plots::plot_result render_text(const std::string& text) {
  json doc;
  try {
    doc = host::http::parse_json_body(text);
  } catch (const host::http::json_body_error& e) {
    throw host::http::http_error(422, std::string("the request body is not valid JSON: ") + e.what());
  }
  const plan_request request = read_plan_request(std::move(doc));
  return printsvc::plots::generate_plot(request.parcel_data, request.selected_parcel_number, request.road_data,
                                        request.columnname, request.bounding_box);
}

// Renders on the queue and resumes on the caller's event loop. Bad records are 422; a full
// queue is 503 with Retry-After (returned, since an error carries no headers).
asio::awaitable<std::variant<printsvc::plots::plot_result, response>> render(render_queue& queue, std::string text) {
  // Built before the co_await: g++ 12 destroys temporaries of a co_await expression twice.
  std::function<printsvc::plots::plot_result()> job = [text = std::move(text)] {
    // A large body parses into many small blocks; once they are freed, give the pages back
    // instead of keeping a few hundred megabytes after a burst of big requests.
    struct trim_after_large {
      bool large;
      ~trim_after_large() {
        if (large) ::malloc_trim(0);
      }
    } const trim{text.size() > 1024 * 1024};
    return render_text(text);
  };
  auto rendering = queue.run(std::move(job));
  try {
    co_return co_await std::move(rendering);
  } catch (const queue_full& e) {
    auto busy = host::http::detail_response(503, "Too many plans are being rendered; try again shortly");
    busy.header("Retry-After", std::to_string(e.retry_after().count()));
    co_return busy;
  } catch (const std::invalid_argument& e) {
    // The renderer's input errors (plan_input_error and its value checks).
    throw host::http::http_error(422, e.what());
  } catch (const printsvc::plots::render_timeout_error& e) {
    // Records within every limit that still take too long to draw: the same records would
    // take as long again, so this is no reason to retry.
    throw host::http::http_error(422, e.what());
  }
}

std::string decode_base64(const std::string& text) {
  gsize length = 0;
  guchar* bytes = g_base64_decode(text.c_str(), &length);
  std::string out(reinterpret_cast<const char*>(bytes), length);
  g_free(bytes);
  return out;
}

response plan_answer(const printsvc::plots::plot_result& plot, bool png) {
  if (png) {
    auto r = host::http::raw_response(decode_base64(plot.image64), "image/png");
    r.header("X-Plan-Scale", std::to_string(plot.scale));
    return r;
  }
  json body;
  body["image"] = plot.image64;
  body["size_mm"] = {plot.size_mm.width, plot.size_mm.height};
  body["scale"] = plot.scale;
  return host::http::json_response(body);
}

bool wants_png(const request_context& ctx, std::string_view default_format) {
  const std::string& format = ctx.params.string("format");
  if (format == "png") return true;
  if (format == "json") return false;
  if (!format.empty()) throw host::http::http_error(422, "format must be png or json");
  if (ctx.header("Accept").find("image/png") != std::string_view::npos) return true;
  return default_format == "png";
}

response answer(std::variant<printsvc::plots::plot_result, response> outcome, bool png) {
  if (auto* refusal = std::get_if<response>(&outcome)) return std::move(*refusal);
  return plan_answer(std::get<printsvc::plots::plot_result>(outcome), png);
}

}  // namespace

host::http::router plan_router(render_queue& renderers) {
  host::http::router r("/plots", {"Survey plans"});

  r.add({.method = boost::beast::http::verb::post,
         .path = "/plan",
         .name = "render_plan",
         .description = "Render the survey plan of the selected parcel from the records in the body "
                        "({\"parcel_data\", \"selected_parcel_number\", \"road_data\", \"columnname\", "
                        "\"bounding_box\"}). JSON {image, size_mm, scale}, or the PNG with Accept: image/png "
                        "or ?format=png.",
         .params = {host::http::query_param("format", param_type::string, std::string(), "png or json")},
         .request_body = "application/json"},
        [&renderers](request_context& ctx) -> asio::awaitable<response> {
          const bool png = wants_png(ctx, "json");
          co_return answer(co_await render(renderers, ctx.take_body()), png);
        });

  r.add({.path = "/recommended-scale",
         .name = "recommended_scale",
         .description = "The standard scale at which a survey of the given ground size fits the sheet.",
         .params = {host::http::query_param("survey_width_m", param_type::number, std::nullopt, "Survey width in metres"),
                    host::http::query_param("survey_height_m", param_type::number, std::nullopt, "Survey height in metres"),
                    host::http::query_param("paper_width_mm", param_type::number, 210.0, "Paper width in millimetres"),
                    host::http::query_param("paper_height_mm", param_type::number, 297.0, "Paper height in millimetres"),
                    host::http::query_param("margin_mm", param_type::number, 10.0, "Margin in millimetres")}},
        [](request_context& ctx) -> asio::awaitable<response> {
          const auto& p = ctx.params;
          int scale = 0;
          try {
            scale = printsvc::plots::get_recommended_scale(p.number("survey_width_m"), p.number("survey_height_m"),
                                                           p.number("paper_width_mm"), p.number("paper_height_mm"),
                                                           p.number("margin_mm"));
          } catch (const std::invalid_argument& e) {
            throw host::http::http_error(422, e.what());
          }
          co_return host::http::json_response(json{{"scale", scale}});
        });

  r.add({.path = "/{plot_id}/plan",
         .name = "plot_plan",
         .description = "The survey plan of a plot of the database: its boundary beacons, neighbours and roads. "
                        "PNG, or {image, size_mm, scale} with ?format=json.",
         .params = {host::http::path_param("plot_id", param_type::integer),
                    host::http::query_param("format", param_type::string, std::string(), "png or json")},
         .uses_db = true,
         .media_type = "image/png"},
        [&renderers](request_context& ctx) -> asio::awaitable<response> {
          const auto& id = ctx.params.integer_value("plot_id");
          const bool png = wants_png(ctx, "png");
          if (!id.value) throw host::http::http_error(404, "Plot " + id.text + " not found");
          const clients::pg::params params{{"plot_id", *id.value}};
          const auto result = co_await ctx.session().execute(PLAN_RECORDS_SQL, params);
          co_await ctx.session().close();
          const auto row = result.first();
          if (!row || row->is_null("plan")) throw host::http::http_error(404, "Plot " + id.text + " not found");
          co_return answer(co_await render(renderers, row->get<std::string>("plan")), png);
        });
  return r;
}

}  // namespace mapsvc::plans
