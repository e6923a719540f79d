// Survey plans over HTTP: posted records, plots read from the database, the scale on its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include "host/config.hpp"
#include "host/database/get_db.hpp"
#include "host/http/app.hpp"
#include "plan_routes.hpp"

namespace {
namespace asio = boost::asio;
using json = nlohmann::ordered_json;
using boost::beast::http::verb;

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::string demo_url() {
  const std::string admin = env_or("DATABASE_URL", host::DEFAULT_DATABASE_URL);
  return admin.substr(0, admin.rfind('/') + 1) + "mapsvc_plans_test";
}

// A small demo cadastre in a database of the test's own, loaded once.
class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string admin = env_or("DATABASE_URL", host::DEFAULT_DATABASE_URL);
    const std::string create = "psql '" + admin + "' -qc 'CREATE DATABASE mapsvc_plans_test' 2>/dev/null";
    [[maybe_unused]] const int ignored = std::system(create.c_str());
    const std::string load = std::string(MAPSVC_SOURCE_DIR) + "/scripts/demo-data --if-empty --plots 500 --database-url '" +
                             demo_url() + "' >/dev/null";
    ASSERT_EQ(std::system(load.c_str()), 0);
    // Many cadastres declare plot IDs as integer: IDs beyond it must still be "not found".
    const std::string narrow = "psql '" + demo_url() + "' -qc 'ALTER TABLE \"PLOT\" ALTER COLUMN \"ID\" TYPE integer'";
    ASSERT_EQ(std::system(narrow.c_str()), 0);
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

class PlanRoutes : public ::testing::Test {
 protected:
  PlanRoutes() {
    host::database::pool_options o;
    o.conninfo = demo_url();
    o.size = 2;
    pool = std::make_unique<host::database::pool>(io.get_executor(), o);
    application.set_session_provider(
        {.open = [this] { return std::make_shared<host::database::session>(host::database::get_db(*pool)); },
         .close = [](host::database::session& s) -> asio::awaitable<void> { co_await s.close(); }});
    application.mount(mapsvc::plans::plan_router(renderers));
  }
  ~PlanRoutes() override { pool.reset(); }

  host::http::response call(verb method, const std::string& target, std::string body = {},
                            std::string accept = {}) {
    host::http::http_request req{method, target, 11};
    req.body() = std::move(body);
    if (!accept.empty()) req.set(boost::beast::http::field::accept, accept);
    auto f = asio::co_spawn(io, application.dispatch(req), asio::use_future);
    io.restart();
    while (f.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) io.run_one_for(std::chrono::milliseconds(50));
    return f.get();
  }

  static std::string example(const std::string& name) {
    std::ifstream in(std::string(MAPSVC_SOURCE_DIR) + "/apps/mapsvc-plan/examples/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  asio::io_context io;
  mapsvc::plans::render_queue renderers{{.workers = 2, .max_waiting = 8}};
  std::unique_ptr<host::database::pool> pool;
  host::http::app application{"t", "1"};
};

bool is_png(const std::string& bytes) { return bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0; }
bool is_pdf(const std::string& bytes) { return bytes.rfind("%PDF-", 0) == 0; }

std::string header_of(const host::http::response& r, const std::string& name) {
  for (const auto& [n, v] : r.headers)
    if (n == name) return v.str();
  return {};
}

// Pages of a PDF as poppler counts them; -1 without poppler-utils.
int pdf_pages(const std::string& pdf) {
  if (std::system("command -v pdfinfo >/dev/null 2>&1") != 0) return -1;
  const std::string path = ::testing::TempDir() + "plans-" + std::to_string(::getpid()) + "-batch.pdf";
  std::ofstream(path, std::ios::binary) << pdf;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(("pdfinfo '" + path + "'").c_str(), "r"), &pclose);
  char line[512];
  while (pipe && fgets(line, sizeof line, pipe.get()))
    if (std::string(line).rfind("Pages:", 0) == 0) return std::atoi(line + 6);
  return 0;
}

TEST_F(PlanRoutes, PostedRecordsAsJsonOrPng) {
  const auto r = call(verb::post, "/plots/plan", example("heptagon_1000.json"));
  ASSERT_EQ(r.status, 200u) << r.body;
  const auto body = json::parse(r.body);
  EXPECT_EQ(body["scale"], 1000);
  EXPECT_EQ(body["size_mm"], json::parse("[265.92, 152.0]"));
  EXPECT_TRUE(body["image"].get<std::string>().starts_with("iVBORw0KGgo"));

  const auto png = call(verb::post, "/plots/plan", example("heptagon_1000.json"), "image/png");
  EXPECT_EQ(png.content_type, "image/png");
  EXPECT_TRUE(is_png(png.body));
  EXPECT_TRUE(is_png(call(verb::post, "/plots/plan?format=png", example("heptagon_1000.json")).body));
}

TEST_F(PlanRoutes, BadRecordsAre422WithTheReason) {
  const auto not_json = call(verb::post, "/plots/plan", "{oops");
  EXPECT_EQ(not_json.status, 422u);
  auto doc = json::parse(example("heptagon_1000.json"));
  doc["selected_parcel_number"] = "no such parcel";
  const auto missing = call(verb::post, "/plots/plan", doc.dump());
  EXPECT_EQ(missing.status, 422u);
  EXPECT_FALSE(json::parse(missing.body)["detail"].get<std::string>().empty());
  EXPECT_EQ(call(verb::post, "/plots/plan", "[]").status, 422u);
}

TEST_F(PlanRoutes, HostileBodiesAre422AndNothingElse) {
  const auto detail = [](const host::http::response& r) { return json::parse(r.body)["detail"].get<std::string>(); };
  const std::string depth(100'000, '[');
  const auto bomb = call(verb::post, "/plots/plan", R"({"parcel_data":[],"selected_parcel_number":)" + depth + "1" +
                                                        std::string(100'000, ']') + "}");
  EXPECT_EQ(bomb.status, 422u);
  EXPECT_NE(detail(bomb).find("nested deeper than 64 levels"), std::string::npos) << bomb.body;

  auto doc = json::parse(example("heptagon_1000.json"));
  std::string huge_number = doc.dump();
  huge_number.replace(huge_number.find("\"area\":") + 7, 0, "1e400, \"was_area\":");
  const auto overflow = call(verb::post, "/plots/plan", huge_number);
  EXPECT_EQ(overflow.status, 422u) << overflow.body;
  EXPECT_NE(detail(overflow).find("number overflow"), std::string::npos) << overflow.body;
}

TEST_F(PlanRoutes, RecommendedScale) {
  EXPECT_EQ(call(verb::get, "/plots/recommended-scale?survey_width_m=277&survey_height_m=100").body, R"({"scale":2000})");
  EXPECT_EQ(call(verb::get, "/plots/recommended-scale?survey_width_m=30&survey_height_m=30").body, R"({"scale":250})");
  const auto bad = call(verb::get, "/plots/recommended-scale?survey_width_m=0&survey_height_m=30");
  EXPECT_EQ(bad.status, 422u);
  EXPECT_EQ(bad.body, R"({"detail":"Survey dimensions must be positive."})");
  EXPECT_EQ(call(verb::get, "/plots/recommended-scale?survey_width_m=1&survey_height_m=1&margin_mm=200").status, 422u);
  EXPECT_EQ(call(verb::get, "/plots/recommended-scale?survey_width_m=1").status, 422u);
}

TEST_F(PlanRoutes, PlotsFromTheDatabase) {
  const auto png = call(verb::get, "/plots/42/plan");
  ASSERT_EQ(png.status, 200u) << png.body;
  EXPECT_TRUE(is_png(png.body));
  const auto as_json = json::parse(call(verb::get, "/plots/42/plan?format=json").body);
  EXPECT_GE(as_json["scale"].get<int>(), 250);
  EXPECT_EQ(call(verb::get, "/plots/987654321/plan").body, R"({"detail":"Plot 987654321 not found"})");
  EXPECT_EQ(call(verb::get, "/plots/99999999999999999999999/plan").status, 404u);
  EXPECT_EQ(call(verb::get, "/plots/2147483648/plan").body, R"({"detail":"Plot 2147483648 not found"})");
  EXPECT_EQ(call(verb::get, "/plots/42/plan?format=gif").status, 422u);
}

TEST_F(PlanRoutes, NullLabelsAreLeftOutAndNotedWhileAbsentKeysStay422) {
  auto doc = json::parse(example("heptagon_1000.json"));
  auto& selected = doc["parcel_data"][2];
  ASSERT_EQ(selected["parcel_number"], doc["selected_parcel_number"]);
  selected["name"] = nullptr;
  selected["boundary"][0]["beacon_name"] = nullptr;
  const auto r = call(verb::post, "/plots/plan", doc.dump());
  ASSERT_EQ(r.status, 200u) << r.body;
  const auto body = json::parse(r.body);
  ASSERT_EQ(body["notes"].size(), 2u) << r.body;
  EXPECT_EQ(body["notes"][0], "parcel_data[2].boundary[0].beacon_name is null: the beacon's name is left out");
  const auto png = call(verb::post, "/plots/plan?format=png", doc.dump());
  EXPECT_TRUE(is_png(png.body));
  EXPECT_EQ(json::parse(header_of(png, "X-Plan-Notes")).size(), 2u);

  selected["boundary"][0].erase("beacon_name");
  const auto missing = call(verb::post, "/plots/plan", doc.dump());
  EXPECT_EQ(missing.status, 422u);
  EXPECT_EQ(json::parse(missing.body)["detail"], "parcel_data[2].boundary[0]: missing key \"beacon_name\"");
  // Ordinary plans keep the answer they always had: no "notes" key.
  EXPECT_FALSE(json::parse(call(verb::post, "/plots/plan", example("heptagon_1000.json")).body).contains("notes"));
}

TEST_F(PlanRoutes, PdfAndSvgByFormatOrAccept) {
  const auto pdf = call(verb::post, "/plots/plan?format=pdf", example("heptagon_1000.json"));
  EXPECT_EQ(pdf.content_type, "application/pdf");
  EXPECT_TRUE(is_pdf(pdf.body));
  EXPECT_EQ(header_of(pdf, "X-Plan-Scale"), "1000");
  EXPECT_TRUE(is_pdf(call(verb::post, "/plots/plan", example("heptagon_1000.json"), "application/pdf").body));
  const auto svg = call(verb::get, "/plots/42/plan", {}, "image/svg+xml");
  EXPECT_EQ(svg.content_type, "image/svg+xml");
  EXPECT_NE(svg.body.find("<svg "), std::string::npos);
  EXPECT_EQ(call(verb::get, "/plots/42/plan?format=pdf").content_type, "application/pdf");
  // A browser's <img> and its address bar list SVG, or everything, beside other images: PNG.
  EXPECT_EQ(call(verb::get, "/plots/42/plan", {}, "image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8")
                .content_type,
            "image/png");
  EXPECT_EQ(call(verb::get, "/plots/42/plan", {},
                 "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8")
                .content_type,
            "image/png");
  EXPECT_EQ(call(verb::get, "/plots/42/plan", {}, "image/png;q=0.4, application/pdf").content_type, "application/pdf");
}

// Text of a PDF as pdftotext reads it; none without poppler-utils.
std::optional<std::string> pdf_text(const std::string& pdf) {
  if (std::system("command -v pdftotext >/dev/null 2>&1") != 0) return std::nullopt;
  const std::string path = ::testing::TempDir() + "plans-" + std::to_string(::getpid()) + "-sheet.pdf";
  std::ofstream(path, std::ios::binary) << pdf;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(("pdftotext '" + path + "' -").c_str(), "r"), &pclose);
  std::string out;
  char buf[4096];
  while (pipe && fgets(buf, sizeof buf, pipe.get())) out += buf;
  return out;
}

TEST_F(PlanRoutes, FullSheetByQueryOrBodyWhileTheDefaultStaysTheFigure) {
  const auto from_db = call(verb::get, "/plots/42/plan?format=pdf&sheet=full&sheet_fields=status,%20file_no");
  ASSERT_EQ(from_db.status, 200u) << from_db.body;
  EXPECT_TRUE(is_pdf(from_db.body));
  if (const auto text = pdf_text(from_db.body)) {
    for (const char* furniture : {"Survey plan of", "Land use: ", "status: ", "file_no: ", "Scale: 1 : ", "Northing"})
      EXPECT_NE(text->find(furniture), std::string::npos) << furniture << " in\n" << *text;
    EXPECT_EQ(text->find("Land use: -"), std::string::npos) << "the demo plots have a land use";
  }

  auto doc = json::parse(example("heptagon_1000.json"));
  doc["sheet"] = "full";
  doc["sheet_fields"] = {"name"};
  const auto posted = call(verb::post, "/plots/plan?format=pdf", doc.dump());
  ASSERT_EQ(posted.status, 200u) << posted.body;
  if (const auto text = pdf_text(posted.body)) {
    EXPECT_NE(text->find("name: Plot 1207"), std::string::npos) << *text;
    EXPECT_NE(text->find("Scale: 1 : 1000"), std::string::npos) << *text;
  }
  // The JSON answer carries the sheet's picture and its A4 size; ?sheet=figure overrides the body.
  const auto as_json = json::parse(call(verb::post, "/plots/plan", doc.dump()).body);
  EXPECT_EQ(as_json["size_mm"], json::parse("[297.0, 210.0]"));
  EXPECT_EQ(as_json["scale"], 1000);
  const auto figure = call(verb::post, "/plots/plan?format=png&sheet=figure", doc.dump());
  EXPECT_EQ(figure.body, call(verb::post, "/plots/plan?format=png", example("heptagon_1000.json")).body);
  EXPECT_EQ(call(verb::get, "/plots/42/plan?sheet=figure").body, call(verb::get, "/plots/42/plan").body);

  const auto detail = [](const host::http::response& r) { return json::parse(r.body)["detail"].get<std::string>(); };
  const auto bad_sheet = call(verb::get, "/plots/42/plan?sheet=poster");
  EXPECT_EQ(bad_sheet.status, 422u);
  EXPECT_EQ(detail(bad_sheet), "sheet must be full or figure");
  const auto unknown = call(verb::get, "/plots/42/plan?format=pdf&sheet=full&sheet_fields=owner");
  EXPECT_EQ(unknown.status, 422u);
  EXPECT_NE(detail(unknown).find("has no key \"owner\""), std::string::npos) << unknown.body;
  doc["sheet_fields"] = {"a", "b", "c", "d", "e", "f", "g"};
  const auto too_many = call(verb::post, "/plots/plan?format=pdf", doc.dump());
  EXPECT_EQ(too_many.status, 422u);
  EXPECT_EQ(detail(too_many), "\"sheet_fields\": at most 6 fields, got 7");
  doc["sheet_fields"] = {std::string(65, 'k')};
  EXPECT_EQ(call(verb::post, "/plots/plan?format=pdf", doc.dump()).status, 422u);
}

TEST_F(PlanRoutes, BatchOfSheets) {
  const auto r = call(verb::post, "/plots/plans", R"({"ids": [42, 43, 987654321], "sheet": "full"})");
  ASSERT_EQ(r.status, 200u) << r.body;
  EXPECT_EQ(header_of(r, "X-Plan-Pages"), "3");
  if (const auto text = pdf_text(r.body)) {
    std::size_t sheets = 0;
    for (auto at = text->find("Survey plan of"); at != std::string::npos; at = text->find("Survey plan of", at + 1)) ++sheets;
    EXPECT_EQ(sheets, 2u) << *text;
  }
  EXPECT_EQ(call(verb::post, "/plots/plans", R"({"ids": [42], "sheet": 1})").status, 422u);
}

TEST_F(PlanRoutes, BatchOfFiftyIdsFailsOnlyTheBadPages) {
  json ids = json::array();
  for (int id = 1; ids.size() < 47; ++id) ids.push_back(id);
  ids.push_back(987654321);  // no such plot
  ids.push_back("seven");    // no plot ID at all
  ids.push_back(2147483648LL);
  const auto r = call(verb::post, "/plots/plans", json{{"ids", ids}}.dump());
  ASSERT_EQ(r.status, 200u) << r.body;
  EXPECT_EQ(r.content_type, "application/pdf");
  EXPECT_EQ(header_of(r, "X-Plan-Pages"), "50");
  const auto notes = json::parse(header_of(r, "X-Plan-Notes"));
  ASSERT_EQ(notes.size(), 3u) << notes;
  EXPECT_EQ(notes[0], "page 48 (plot 987654321): Plot 987654321 not found");
  EXPECT_EQ(notes[1], "page 49 (plot \"seven\"): not a plot ID");
  const int pages = pdf_pages(r.body);
  if (pages >= 0) {
    EXPECT_EQ(pages, 50);
  }

  const auto strict = call(verb::post, "/plots/plans", json{{"ids", ids}, {"all_or_nothing", true}}.dump());
  EXPECT_EQ(strict.status, 422u);
  EXPECT_EQ(json::parse(strict.body)["detail"], "page 48 (plot 987654321): Plot 987654321 not found");
}

TEST_F(PlanRoutes, BatchOfPostedPlansAndItsBounds) {
  auto bad = json::parse(example("heptagon_1000.json"));
  bad["selected_parcel_number"] = "nobody";
  const json plans = json::array({json::parse(example("small_parcel_500.json")), bad,
                                  json::parse(example("large_parcel_5000.json"))});
  const auto r = call(verb::post, "/plots/plans", json{{"plans", plans}}.dump());
  ASSERT_EQ(r.status, 200u) << r.body;
  EXPECT_EQ(header_of(r, "X-Plan-Pages"), "3");
  EXPECT_EQ(json::parse(header_of(r, "X-Plan-Notes")).size(), 1u);

  EXPECT_EQ(call(verb::post, "/plots/plans", R"({"ids": []})").status, 422u);
  EXPECT_EQ(call(verb::post, "/plots/plans", R"({"ids": [1], "plans": []})").status, 422u);
  json too_many = json::array();
  for (int i = 0; i < 101; ++i) too_many.push_back(i);
  const auto over = call(verb::post, "/plots/plans", json{{"ids", too_many}}.dump());
  EXPECT_EQ(over.status, 422u);
  EXPECT_EQ(json::parse(over.body)["detail"], "\"ids\": at most 100 plans in a batch, got 101");
}

std::string detail_of(const host::http::response& r) { return json::parse(r.body)["detail"].get<std::string>(); }

// xmllint's complaints about an SVG answer, empty when it is well-formed XML.
std::string xml_errors(const std::string& svg) {
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) return "xmllint is not installed (libxml2-utils)";
  const std::string path = ::testing::TempDir() + "plans-" + std::to_string(::getpid()) + "-plan.svg";
  std::ofstream(path, std::ios::binary) << svg;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(("xmllint --noout '" + path + "' 2>&1 && echo ok").c_str(), "r"),
                                                &pclose);
  std::string out;
  char buf[4096];
  while (pipe && fgets(buf, sizeof buf, pipe.get())) out += buf;
  return out == "ok\n" ? std::string() : out.substr(0, 2000);
}

// Texts Cairo or XML cannot take, in the selected parcel's name: refused alike in every format,
// on a sheet, and on a batch's page, naming the field; never a 500 or a broken SVG.
TEST_F(PlanRoutes, UnprintableLabelsAre422NamingTheFieldInEveryFormat) {
  auto doc = json::parse(example("heptagon_1000.json"));
  for (const char* c : {"\uFFFF", "\uFFFE", "\uFDD0"}) {
    doc["parcel_data"][2]["name"] = std::string("Plot ") + c;
    const std::string body = doc.dump();
    for (const char* query :
         {"", "?format=png", "?format=pdf", "?format=svg", "?format=svg&sheet=full", "?format=pdf&sheet=full"}) {
      const auto r = call(verb::post, std::string("/plots/plan") + query, body);
      ASSERT_EQ(r.status, 422u) << query << " " << r.body;
      EXPECT_EQ(detail_of(r).rfind("parcel_data[2].name: U+", 0), 0u) << r.body;
      EXPECT_NE(detail_of(r).find(" (character 6) cannot be printed"), std::string::npos) << r.body;
    }
  }
  // A lone surrogate is no character: the body is not JSON, and the message says where.
  std::string surrogate = json::parse(example("heptagon_1000.json")).dump();
  surrogate.replace(surrogate.find("\"Plot 1207\""), 11, "\"Plot \\ud800\"");
  const auto lone = call(verb::post, "/plots/plan?format=svg", surrogate);
  EXPECT_EQ(lone.status, 422u);
  EXPECT_EQ(detail_of(lone).rfind("the request body is not valid JSON: parcel_data[2].name: ", 0), 0u) << lone.body;

  // In a batch the page says why, and the other pages are drawn.
  doc["parcel_data"][2]["name"] = "Plot \uFFFF";
  const json plans = json::array({json::parse(example("small_parcel_500.json")), doc});
  const auto batch = call(verb::post, "/plots/plans", json{{"plans", plans}}.dump());
  ASSERT_EQ(batch.status, 200u) << batch.body;
  EXPECT_EQ(header_of(batch, "X-Plan-Pages"), "2");
  EXPECT_EQ(json::parse(header_of(batch, "X-Plan-Notes")),
            json::parse(R"(["page 2: parcel_data[2].name: U+FFFF (character 6) cannot be printed"])"));
  const auto strict = call(verb::post, "/plots/plans", json{{"plans", plans}, {"all_or_nothing", true}}.dump());
  EXPECT_EQ(strict.status, 422u);
  EXPECT_EQ(detail_of(strict), "page 2: parcel_data[2].name: U+FFFF (character 6) cannot be printed");
}

// The posted examples are checked in the unit tests; these are plots of the database.
TEST_F(PlanRoutes, SvgAnswersAreWellFormedXml) {
  for (const char* target : {"/plots/42/plan?format=svg", "/plots/43/plan?format=svg&sheet=full&sheet_fields=status"}) {
    const auto r = call(verb::get, target);
    ASSERT_EQ(r.status, 200u) << target << " " << r.body;
    EXPECT_EQ(xml_errors(r.body), "") << target;
  }
}

// A batch holds its body in the queue's byte budget until its last page: beside it, a plan whose
// body does not fit is refused at once, and drawn once the batch has ended.
TEST_F(PlanRoutes, BatchBodiesHoldTheQueuesByteBudget) {
  mapsvc::plans::render_queue small{{.workers = 1, .max_waiting = 8, .max_bytes = 1024}};
  host::http::app app{"t", "1"};
  app.mount(mapsvc::plans::plan_router(small));
  const json plans =
      json::array({json::parse(example("small_parcel_500.json")), json::parse(example("heptagon_1000.json"))});
  host::http::http_request batch{verb::post, "/plots/plans", 11};
  batch.body() = json{{"plans", plans}}.dump();
  host::http::http_request plan{verb::post, "/plots/plan?format=pdf", 11};
  plan.body() = example("heptagon_1000.json");

  const auto settle = [&](std::future<host::http::response>& answer) {
    while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
      io.run_one_for(std::chrono::milliseconds(50));
    return answer.get();
  };
  io.restart();
  auto batch_answer = asio::co_spawn(io, app.dispatch(batch), asio::use_future);
  while (small.held_bytes() == 0) io.run_one_for(std::chrono::milliseconds(50));
  auto refused = asio::co_spawn(io, app.dispatch(plan), asio::use_future);
  const auto busy = settle(refused);
  EXPECT_EQ(busy.status, 503u) << busy.body;
  EXPECT_GE(std::stoi(header_of(busy, "Retry-After")), 1);
  EXPECT_EQ(settle(batch_answer).status, 200u);
  // Everything given back once the batch is over.
  EXPECT_EQ(small.held_bytes(), 0u);
  EXPECT_EQ(small.admitted(), 0u);
}

long rss_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// More plans at once than the queue admits: the rest are 503 with Retry-After at once, and the
// process does not grow with the flood.
TEST_F(PlanRoutes, FloodBeyondTheQueueIs503WithRetryAfter) {
  const std::string body = example("small_parcel_500.json");
  call(verb::post, "/plots/plan?format=png", body);  // warm: fonts and pixel memory
  const long before = rss_kb();
  constexpr int flood = 40;
  std::vector<host::http::http_request> requests;
  for (int i = 0; i < flood; ++i) {
    requests.emplace_back(verb::post, "/plots/plan?format=png", 11);
    requests.back().body() = body;
  }
  std::vector<std::future<host::http::response>> answers;
  for (auto& req : requests) answers.push_back(asio::co_spawn(io, application.dispatch(req), asio::use_future));
  io.restart();
  for (auto& a : answers)
    while (a.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) io.run_one_for(std::chrono::milliseconds(50));
  int ok = 0, busy = 0;
  for (auto& a : answers) {
    const auto r = a.get();
    if (r.status == 200) ++ok;
    if (r.status == 503) {
      ++busy;
      EXPECT_GE(std::stoi(header_of(r, "Retry-After")), 1);
    }
  }
  // Two rendering and eight waiting are admitted, the rest refused as they arrive (a render that
  // ends while the flood is still arriving makes room for one more).
  EXPECT_GE(ok, 10);
  EXPECT_GE(busy, flood / 2);
  EXPECT_EQ(ok + busy, flood);
  // Ten plans in flight at most: their bodies, pictures and files, far under this.
  EXPECT_LT(rss_kb() - before, 400 * 1024);
}

}  // namespace
