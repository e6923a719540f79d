#include "plan_routes.hpp"

#include <malloc.h>

#include <chrono>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <glib.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "host/database/session.hpp"
#include "host/http/errors.hpp"
#include "host/http/negotiation.hpp"
#include "printsvc/plots/batch.hpp"
#include "printsvc/plots/plots.hpp"
#include "printsvc/plots/request.hpp"

namespace mapsvc::plans {
namespace asio = boost::asio;
using host::http::param_type;
using host::http::request_context;
using host::http::response;
using json = nlohmann::ordered_json;

extern const char* const PLAN_RECORDS_SQL;  // apps/mapsvc/sql/plan_records.sql

namespace {

// Whether a sheet is asked for: "full" is the sheet, "figure" (or nothing) the bare figure.
std::optional<bool> sheet_wanted(std::string_view value, const char* where) {
  if (value.empty()) return std::nullopt;
  if (value == "full") return true;
  if (value == "figure") return false;
  throw host::http::http_error(422, std::string(where) + " must be full or figure");
}

// The sheet as the query asks for it (?sheet=full&sheet_fields=a,b), which overrides the body.
struct sheet_query {
  std::optional<bool> full;
  std::optional<std::vector<std::string>> fields;
};

sheet_query read_sheet_query(const request_context& ctx) {
  sheet_query q;
  q.full = sheet_wanted(ctx.params.string("sheet"), "sheet");
  const std::string& list = ctx.params.string("sheet_fields");
  if (list.empty()) return q;
  constexpr std::size_t max_list_bytes =
      printsvc::plots::max_sheet_fields * (4 * printsvc::plots::max_sheet_field_name_chars + 1);
  if (list.size() > max_list_bytes)
    throw host::http::http_error(422, "sheet_fields: at most " + std::to_string(printsvc::plots::max_sheet_fields) +
                                          " comma-separated record keys");
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    std::string key = list.substr(start, comma - start);
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    if (!key.empty()) fields.push_back(std::move(key));
    start = comma + 1;
  }
  q.fields = std::move(fields);
  return q;
}

// How a plan is answered: the file itself, or JSON {"image": base64 PNG, "size_mm", "scale"}.
enum class answer_kind { json, png, pdf, svg };

const char* media_type(answer_kind kind) {
  switch (kind) {
    case answer_kind::png: return "image/png";
    case answer_kind::pdf: return "application/pdf";
    case answer_kind::svg: return "image/svg+xml";
    case answer_kind::json: break;
  }
  return "application/json";
}

// The body of a finished plan, built on the renderer thread: for a file, the one copy of its
// bytes (no base64 round trip); for JSON, the text of the document.
struct rendered {
  std::string body;
  int scale = 0;
  std::vector<std::string> notes;
};

// A JSON document of the notes for a header: ASCII only, and bounded, since a plan of thousands
// of beacons with null names would list thousands; the rest are counted.
std::string notes_header(const std::vector<std::string>& notes) {
  constexpr std::size_t max_header_chars = 4096;
  json list = json::array();
  std::size_t used = 2;
  std::size_t listed = 0;
  for (const auto& note : notes) {
    const std::string text = json(note).dump(-1, ' ', true, json::error_handler_t::replace);
    if (used + text.size() + 40 > max_header_chars) break;
    used += text.size() + 1;
    list.push_back(note);
    ++listed;
  }
  if (listed < notes.size()) list.push_back("... and " + std::to_string(notes.size() - listed) + " more");
  return list.dump(-1, ' ', true, json::error_handler_t::replace);
}

printsvc::plots::plan_format file_format(answer_kind kind) {
  switch (kind) {
    case answer_kind::pdf: return printsvc::plots::plan_format::pdf;
    case answer_kind::svg: return printsvc::plots::plan_format::svg;
    default: return printsvc::plots::plan_format::png;
  }
}

std::string base64(const std::string& bytes) {
  const std::unique_ptr<gchar, decltype(&g_free)> text(
      g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()), &g_free);
  return text.get();
}

// Body to finished answer, all of it on a renderer thread: a large body must not hold the event
// loop while it is read. The body is let go once read: from then on only the records it names
// are needed.
rendered render_text(std::string text, answer_kind kind, const sheet_query& sheet) {
  printsvc::plots::plan_request request =
      printsvc::plots::read_plan_request(text, sheet.fields.value_or(std::vector<std::string>{}));
  std::string().swap(text);
  printsvc::plots::choose_sheet(request, sheet.full, sheet.fields);
  printsvc::plots::plan_file file = printsvc::plots::render_plan_file(
      request.parcel_data, request.selected_parcel_number, request.road_data, request.columnname, request.bounding_box,
      file_format(kind), printsvc::plots::default_render_time_limit, request.sheet);
  rendered out{std::move(file.bytes), file.scale, std::move(file.notes)};
  if (kind == answer_kind::json) {
    json body;
    body["image"] = base64(out.body);
    body["size_mm"] = {file.size_mm.width, file.size_mm.height};
    body["scale"] = file.scale;
    if (!out.notes.empty()) body["notes"] = out.notes;
    out.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
  }
  return out;
}

// A large body parses into many small blocks; once they are freed, give the pages back instead
// of keeping a few hundred megabytes after a burst of big requests.
struct trim_after_large {
  bool large;
  ~trim_after_large() {
    if (large) ::malloc_trim(0);
  }
};

// A full queue (plans or bytes of body): 503 with Retry-After, returned, since an error carries
// no headers.
response busy(const queue_full& e) {
  auto r = host::http::detail_response(503, "Too many plans are being rendered; try again shortly");
  r.header("Retry-After", std::to_string(e.retry_after().count()));
  return r;
}

// Runs `job` on the queue, holding `bytes` of body in its budget meanwhile, and resumes on the
// caller's event loop. Bad records are 422; a full queue is busy().
template <typename T>
asio::awaitable<std::variant<T, response>> on_queue(render_queue& queue, std::function<T()> job,
                                                    std::size_t bytes = 0) {
  // Built before the co_await: g++ 12 destroys temporaries of a co_await expression twice.
  auto rendering = queue.run(std::move(job), bytes);
  try {
    co_return co_await std::move(rendering);
  } catch (const queue_full& e) {
    co_return busy(e);
  } catch (const std::invalid_argument& e) {
    // The renderer's input errors (plan_input_error and its value checks).
    throw host::http::http_error(422, e.what());
  } catch (const printsvc::plots::render_timeout_error& e) {
    // Records within every limit that still take too long to draw: the same records would
    // take as long again, so this is no reason to retry.
    throw host::http::http_error(422, e.what());
  }
}

asio::awaitable<std::variant<rendered, response>> render(render_queue& queue, std::string text, answer_kind kind,
                                                         sheet_query sheet) {
  const std::size_t bytes = text.size();
  std::function<rendered()> job = [text = std::move(text), kind, sheet = std::move(sheet)]() mutable {
    const trim_after_large trim{text.size() > 1024 * 1024};
    return render_text(std::move(text), kind, sheet);
  };
  co_return co_await on_queue(queue, std::move(job), bytes);
}

answer_kind wanted_answer(const request_context& ctx, answer_kind by_default) {
  const std::string& format = ctx.params.string("format");
  if (format == "png") return answer_kind::png;
  if (format == "json") return answer_kind::json;
  if (format == "pdf") return answer_kind::pdf;
  if (format == "svg") return answer_kind::svg;
  if (!format.empty()) throw host::http::http_error(422, "format must be png, json, pdf or svg");
  // PNG first: a browser's <img> lists SVG by name beside image/*, and gets the PNG unless
  // it ranks SVG higher.
  static constexpr std::string_view offered[] = {"image/png", "application/pdf", "image/svg+xml"};
  static constexpr answer_kind kinds[] = {answer_kind::png, answer_kind::pdf, answer_kind::svg};
  const auto preferred = host::http::preferred_media_type(ctx.header("Accept"), offered);
  return preferred ? kinds[*preferred] : by_default;
}

response answer(std::variant<rendered, response> outcome, answer_kind kind) {
  if (auto* refusal = std::get_if<response>(&outcome)) return std::move(*refusal);
  auto& plan = std::get<rendered>(outcome);
  auto r = host::http::raw_response(std::move(plan.body), host::http::header_text::lasting(media_type(kind)));
  if (kind != answer_kind::json) {
    r.header("X-Plan-Scale", std::to_string(plan.scale));
    if (!plan.notes.empty()) r.header("X-Plan-Notes", notes_header(plan.notes));
  }
  return r;
}


// Batches: many plans in one PDF, a page each. A batch renders its pages one after another on
// the render queue, beside single plans, so it takes at most one renderer at a time; few batches
// run at once, and each holds no more than its body, its PDF and one plan's records: a page's
// plan is read from the body only when the page is drawn.
constexpr std::size_t max_batches_at_once = 2;
// Past this the remaining pages are not drawn (each says so): the sum of the pages' own limits
// would be minutes.
constexpr std::chrono::seconds batch_time_limit{60};
// A page refused by a full queue waits this long before it asks again.
constexpr std::chrono::milliseconds queue_retry_pause{50};

asio::awaitable<response> render_batch(render_queue& queue, request_context& ctx) {
  const auto started = std::chrono::steady_clock::now();
  // The body stays until the last page is drawn, the plans being read from it page by page, so
  // its bytes are held in the queue's budget for the whole batch.
  const auto body = std::make_shared<const std::string>(ctx.take_body());
  std::optional<render_queue::byte_hold> held;
  try {
    held.emplace(queue.hold_bytes(body->size()));
  } catch (const queue_full& e) {
    co_return busy(e);
  }
  std::function<printsvc::plots::batch_request()> parse = [body] {
    const trim_after_large trim{body->size() > 1024 * 1024};
    return printsvc::plots::read_batch_request(*body);
  };
  auto parsed = co_await on_queue(queue, std::move(parse));
  if (auto* refusal = std::get_if<response>(&parsed)) co_return std::move(*refusal);
  const printsvc::plots::batch_request batch = std::move(std::get<printsvc::plots::batch_request>(parsed));
  const std::size_t entries = batch.by_id ? batch.ids.size() : batch.plans.size();

  auto book = std::make_shared<printsvc::plots::pdf_book>();
  std::vector<std::string> notes;
  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (std::size_t i = 0; i < entries; ++i) {
    const auto id = batch.by_id ? printsvc::plots::plot_id_of(batch.ids[i]) : std::nullopt;
    const std::string label = printsvc::plots::page_label(i, batch.by_id ? &batch.ids[i] : nullptr);
    // A plan from the database is its own text; a posted one a view into the body.
    std::optional<std::string> fetched;
    std::optional<std::string_view> records;
    std::string missing;
    if (std::chrono::steady_clock::now() - started > batch_time_limit) {
      missing = "the batch ran out of time before this page";
    } else if (!batch.by_id) {
      records = batch.plans[i];
    } else if (!id) {
      missing = "not a plot ID";
    } else {
      const clients::pg::params params{{"plot_id", *id}};
      const auto result = co_await ctx.session().execute(PLAN_RECORDS_SQL, params);
      const auto row = result.first();
      if (row && !row->is_null("plan"))
        fetched = row->get<std::string>("plan");
      else
        missing = "Plot " + std::to_string(*id) + " not found";
    }
    if (!records && !fetched && batch.all_or_nothing) throw host::http::http_error(422, label + ": " + missing);

    using printsvc::plots::page_outcome;
    std::function<page_outcome()> job = [book, body, label, records, fetched = std::move(fetched), missing,
                                         sheet = batch.sheet] {
      const auto text = fetched ? std::optional<std::string_view>(*fetched) : records;
      return printsvc::plots::add_plan_page(*book, label, text, missing, sheet);
    };
    std::variant<page_outcome, response> drawn;
    while (true) {
      std::function<page_outcome()> attempt = job;
      drawn = co_await on_queue(queue, std::move(attempt));
      if (!std::holds_alternative<response>(drawn)) break;
      // The queue is full of other plans: this batch waits its turn rather than failing.
      if (std::chrono::steady_clock::now() - started > batch_time_limit) co_return std::move(std::get<response>(drawn));
      pause.expires_after(queue_retry_pause);
      co_await pause.async_wait(asio::use_awaitable);
    }
    auto& page = std::get<page_outcome>(drawn);
    if (page.failure) {
      if (batch.all_or_nothing) throw host::http::http_error(422, label + ": " + *page.failure);
      notes.push_back(label + ": " + *page.failure);
    }
    for (auto& note : page.notes) notes.push_back(label + ": " + note);
  }
  if (batch.by_id) co_await ctx.session().close();

  const std::size_t pages = book->pages();
  std::function<std::string()> finish = [book] { return book->finish(); };
  auto finished = co_await on_queue(queue, std::move(finish));
  if (auto* refusal = std::get_if<response>(&finished)) co_return std::move(*refusal);
  auto r = host::http::raw_response(std::move(std::get<std::string>(finished)), "application/pdf");
  r.header("X-Plan-Pages", std::to_string(pages));
  if (!notes.empty()) r.header("X-Plan-Notes", notes_header(notes));
  co_return r;
}

auto sheet_param() {
  return host::http::query_param("sheet", param_type::string, std::string(),
                                 "full: the plan on an A4 sheet with title block, north arrow, scale bar, grid "
                                 "ticks and beacon table; figure (the default): the plan alone");
}

auto sheet_fields_param() {
  return host::http::query_param("sheet_fields", param_type::string, std::string(),
                                 "with sheet=full: record keys of the parcel printed in the title block, comma "
                                 "separated (at most 6)");
}

}  // namespace

host::http::router plan_router(render_queue& renderers) {
  host::http::router r("/plots", {"Survey plans"});

  r.add({.method = boost::beast::http::verb::post,
         .path = "/plan",
         .name = "render_plan",
         .description = "Render the survey plan of the selected parcel from the records in the body "
                        "({\"parcel_data\", \"selected_parcel_number\", \"road_data\", \"columnname\", "
                        "\"bounding_box\"}). JSON {image, size_mm, scale, notes when labels were left out}, "
                        "or the PNG (Accept: image/png or ?format=png), an A4 PDF at true scale "
                        "(application/pdf, ?format=pdf) or SVG (image/svg+xml, ?format=svg). With ?sheet=full (or "
                        "\"sheet\": \"full\", \"sheet_fields\": [keys] in the body) the plan on a full A4 sheet.",
         .params = {host::http::query_param("format", param_type::string, std::string(), "png, json, pdf or svg"),
                    sheet_param(), sheet_fields_param()},
         .request_body = "application/json"},
        [&renderers](request_context& ctx) -> asio::awaitable<response> {
          const answer_kind kind = wanted_answer(ctx, answer_kind::json);
          sheet_query sheet = read_sheet_query(ctx);
          auto outcome = co_await render(renderers, ctx.take_body(), kind, std::move(sheet));
          co_return answer(std::move(outcome), kind);
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
                        "PNG, {image, size_mm, scale} with ?format=json, or PDF or SVG (?format=pdf|svg, or Accept); "
                        "?sheet=full puts it on a full A4 sheet.",
         .params = {host::http::path_param("plot_id", param_type::integer),
                    host::http::query_param("format", param_type::string, std::string(), "png, json, pdf or svg"),
                    sheet_param(), sheet_fields_param()},
         .uses_db = true,
         .media_type = "image/png"},
        [&renderers](request_context& ctx) -> asio::awaitable<response> {
          const auto& id = ctx.params.integer_value("plot_id");
          const answer_kind kind = wanted_answer(ctx, answer_kind::png);
          sheet_query sheet = read_sheet_query(ctx);
          if (!id.value) throw host::http::http_error(404, "Plot " + id.text + " not found");
          const clients::pg::params params{{"plot_id", *id.value}};
          const auto result = co_await ctx.session().execute(PLAN_RECORDS_SQL, params);
          co_await ctx.session().close();
          const auto row = result.first();
          if (!row || row->is_null("plan")) throw host::http::http_error(404, "Plot " + id.text + " not found");
          auto outcome = co_await render(renderers, row->get<std::string>("plan"), kind, std::move(sheet));
          co_return answer(std::move(outcome), kind);
        });
  auto batches_running = std::make_shared<std::size_t>(0);
  r.add({.method = boost::beast::http::verb::post,
         .path = "/plans",
         .name = "render_plans",
         .description = "Several plans in one A4 PDF, a page each: {\"ids\": [plot IDs]} from the database or "
                        "{\"plans\": [plan request bodies]}, at most 100. A plan that cannot be drawn gets a page "
                        "saying why and is listed in the X-Plan-Notes header, unless \"all_or_nothing\": true "
                        "asks for a 422 instead. \"sheet\": \"full\" (and \"sheet_fields\") puts every plan on a "
                        "full sheet, as a plan body's own members do for its page.",
         .uses_db = true,
         .media_type = "application/pdf",
         .request_body = "application/json"},
        [&renderers, batches_running](request_context& ctx) -> asio::awaitable<response> {
          if (*batches_running >= max_batches_at_once) {
            auto busy = host::http::detail_response(503, "Too many plan batches are being rendered; try again shortly");
            busy.header("Retry-After", std::to_string(renderers.retry_after().count()));
            co_return busy;
          }
          ++*batches_running;
          struct release {
            std::shared_ptr<std::size_t> count;
            ~release() { --*count; }
          } const held{batches_running};
          co_return co_await render_batch(renderers, ctx);
        });
  return r;
}

}  // namespace mapsvc::plans
