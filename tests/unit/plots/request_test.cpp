// Plan and batch bodies read straight from their text: what is kept draws the plan the whole
// document draws; limits and malformed JSON are refused while reading, naming the member; bulk
// a plan never reads costs no memory.

#include "support.hpp"
#include "utf8.hpp"

#include <printsvc/plots/request.hpp>

#include <gtest/gtest.h>
#include <malloc.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace {

using namespace plots_test;

std::string example(const std::string& name) {
  std::ifstream in(std::string(PLOTS_EXAMPLES_DIR) + "/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string plan_svg(const pl::plan_request& r) {
  return pl::render_svg(
      pl::plan_layout(r.parcel_data, r.selected_parcel_number, r.road_data, r.columnname, r.bounding_box));
}

// The plan of the body parsed whole, as the renderer's callers did before.
std::string document_svg(const std::string& text) {
  const json doc = json::parse(text);
  return pl::render_svg(pl::plan_layout(doc["parcel_data"], doc["selected_parcel_number"],
                                        doc.value("road_data", json()), doc.value("columnname", "parcel_number"),
                                        doc.value("bounding_box", json())));
}

std::string refusal(const std::function<void()>& read) {
  try {
    read();
  } catch (const pl::plan_input_error& e) {
    return e.what();
  }
  return "accepted";
}

std::string read_refusal(const std::string& text) {
  return refusal([&] { pl::read_plan_request(text); });
}

std::string layout_refusal(const std::string& text) {
  return refusal([&] { document_svg(text); });
}

// Bytes allocated, large blocks (mapped apart) included.
std::size_t heap_in_use() {
  const auto m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// heptagon_1000 with its members in the given order.
json heptagon_ordered(const std::vector<std::string>& order) {
  const json doc = json::parse(example("heptagon_1000.json"));
  json out = json::object();
  for (const auto& key : order) out[key] = doc[key];
  return out;
}

TEST(PlanBody, KeepsWhatDrawsThePlanOfTheWholeDocument) {
  for (const char* name : {"heptagon_1000.json", "small_parcel_500.json", "large_parcel_5000.json"})
    EXPECT_EQ(plan_svg(pl::read_plan_request(example(name))), document_svg(example(name))) << name;

  // The selection key and the selected value after the records, the selected record last with its
  // key after its boundary, and everything a plan never reads: other members, holes, heights.
  json doc = heptagon_ordered({"road_data", "parcel_data", "bounding_box", "columnname", "selected_parcel_number"});
  json& parcels = doc["parcel_data"];
  json selected = parcels[2];
  parcels.erase(2);
  json reordered = {{"boundary", selected["boundary"]},
                    {"name", selected["name"]},
                    {"area", selected["area"]},
                    {"geometry", selected["geometry"]},
                    {"parcel_number", selected["parcel_number"]}};
  reordered["geometry"]["coordinates"].push_back(ring_json(square(5, {337850, 1007350})));  // a hole
  for (auto& entry : reordered["boundary"]) entry["properties"] = {{"monument", "iron pin"}};
  parcels.push_back(reordered);
  parcels.push_back(parcels[0]);  // the same number again: the first one is the plan's
  parcels.back()["parcel_number"] = selected["parcel_number"];
  for (auto& p : parcels) {
    p["properties"] = {{"owner", "x"}, {"history", json::array({1, 2, 3})}};
    p["geometry"]["coordinates"][0][0].push_back(320.5);  // a height
  }
  doc["road_data"][0]["properties"] = {{"name", "Ring Road"}};
  doc["comment"] = {{"made by", "a client"}, {"deep", {{"a", {{"b", json::array({1, 2})}}}}}};
  const std::string text = doc.dump();
  const auto request = pl::read_plan_request(text);
  EXPECT_EQ(plan_svg(request), document_svg(text));
  EXPECT_FALSE(request.parcel_data[0].contains("properties"));
  EXPECT_FALSE(request.parcel_data[0].contains("name"));  // only the selected record's is printed

  // Another selection key; the sheet's keys of the selected record, named in the body or by the caller.
  json keyed = json::parse(example("heptagon_1000.json"));
  for (auto& p : keyed["parcel_data"]) {
    p["plot_id"] = "P-" + p["parcel_number"].dump();
    p["status"] = "Allocated";
  }
  keyed["columnname"] = "plot_id";
  keyed["selected_parcel_number"] = "P-1207";
  keyed["sheet"] = "full";
  keyed["sheet_fields"] = {"status"};
  const auto by_key = pl::read_plan_request(keyed.dump(), {"name"});
  EXPECT_EQ(by_key.columnname, "plot_id");
  ASSERT_TRUE(by_key.sheet);
  EXPECT_EQ(by_key.sheet->fields, std::vector<std::string>{"status"});
  const auto facts = pl::read_sheet_facts(by_key.parcel_data, by_key.selected_parcel_number, by_key.columnname,
                                          {{"status", "name"}, "2026-01-02"});
  EXPECT_EQ(facts.fields,
            (std::vector<std::pair<std::string, std::string>>{{"status", "Allocated"}, {"name", "Plot 1207"}}));
  EXPECT_EQ(facts.parcel_number, "P-1207");
}

TEST(PlanBody, LimitsAreHeldWhileReadingWithTheLayoutsOwnMessages) {
  const json doc = json::parse(example("heptagon_1000.json"));
  const auto spoiled = [&](const std::function<void(json&)>& spoil) {
    json d = doc;
    spoil(d);
    return d.dump();
  };
  const auto positions = [](std::size_t n) {
    json line = json::array();
    for (std::size_t i = 0; i < n; ++i)
      line.push_back({337800.0 + static_cast<double>(i % 7), 1007300.0 + static_cast<double>(i % 5)});
    return line;
  };
  const std::pair<std::function<void(json&)>, std::string> cases[] = {
      {[](json& d) { d["parcel_data"].insert(d["parcel_data"].end(), 4991, d["parcel_data"][0]); },
       "parcel_data: at most 5000 records, got 5001"},
      {[&](json& d) { d["parcel_data"][0]["geometry"]["coordinates"][0] = positions(5001); },
       "parcel_data[0].geometry.coordinates[0]: at most 5000 positions in a ring, got 5001"},
      {[](json& d) { d["road_data"].insert(d["road_data"].end(), 4999, d["road_data"][0]); },
       "road_data: at most 5000 roads, got 5001"},
      {[&](json& d) { d["road_data"][1]["geometry"]["coordinates"] = positions(5001); },
       "road_data[1].geometry.coordinates: at most 5000 positions in a line, got 5001"},
      {[](json& d) {
         d["parcel_data"][2]["boundary"].insert(d["parcel_data"][2]["boundary"].end(), 4994,
                                                d["parcel_data"][2]["boundary"][0]);
       },
       "parcel_data[2].boundary: at most 5000 entries, got 5001"},
      {[&](json& d) {
         for (int i = 0; i < 40; ++i) {
           json p = d["parcel_data"][0];
           p["parcel_number"] = 90000 + i;
           p["geometry"]["coordinates"][0] = positions(5000);
           d["parcel_data"].push_back(p);
         }
       },
       "parcel_data[49].geometry.coordinates[0]: more than 200000 positions in all the records"}};
  for (const auto& [spoil, message] : cases) {
    const std::string text = spoiled(spoil);
    EXPECT_EQ(read_refusal(text), message);
    EXPECT_EQ(layout_refusal(text), message) << "the document's layout says the same";
  }
  // A record other than the selected one is not held to the boundary's count, as before.
  const std::string long_neighbour = spoiled(
      [](json& d) { d["parcel_data"][0]["boundary"] = json(json::array_t(6000, d["parcel_data"][2]["boundary"][0])); });
  EXPECT_EQ(plan_svg(pl::read_plan_request(long_neighbour)), document_svg(long_neighbour));
}

TEST(PlanBody, MalformedJsonIsRefusedNamingWhereItBroke) {
  const std::string text = json::parse(example("heptagon_1000.json")).dump();
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const std::string prefix = "the request body is not valid JSON: ";
  const std::pair<std::string, std::string> cases[] = {
      {with("\"Plot 1207\"", "\"Plot \\ud800 1207\""), prefix + "parcel_data[2].name: "},
      {with("\"PB 7730\"", "\"PB \\udc00\""), prefix + "parcel_data[2].boundary[0].beacon_name: "},
      {with("\"Plot 1207\"", "\"Plot \xff\""), prefix + "parcel_data[2].name: "},
      {with("\"area\":11888.0", "\"area\":1e400"), prefix + "parcel_data[2].area: "},
      {with("\"road_data\":", "\"road_data\" "), prefix + "road_data: "},
      {text + "x", prefix},
      {"{oops", prefix}};
  for (const auto& [body, start] : cases) {
    const std::string message = read_refusal(body);
    EXPECT_EQ(message.rfind(start, 0), 0u) << message;
    EXPECT_FALSE(pl::detail::find_unprintable(message)) << "a message may be printed: " << message;
  }
  EXPECT_NE(read_refusal(with("\"Plot 1207\"", "\"\\ud800\"")).find("surrogate U+D800..U+DBFF"), std::string::npos);
  EXPECT_NE(read_refusal(with("\"area\":11888.0", "\"area\":1e400")).find("number overflow"), std::string::npos);
  EXPECT_EQ(read_refusal(R"({"parcel_data": [], "selected_parcel_number": )" + std::string(100'000, '[')),
            prefix + "JSON nested deeper than 64 levels");

  const std::pair<std::string, std::string> members[] = {
      {"[]", "the request body must be a JSON object"},
      {"5071", "the request body must be a JSON object"},
      {R"({"selected_parcel_number": 1})", "missing \"parcel_data\""},
      {R"({"parcel_data": []})", "missing \"selected_parcel_number\""},
      {R"({"parcel_data": [], "selected_parcel_number": 1, "columnname": 5})", "\"columnname\" must be text"},
      {R"({"parcel_data": [], "selected_parcel_number": 1, "sheet": "poster"})", "\"sheet\" must be full or figure"},
      {R"({"parcel_data": [], "selected_parcel_number": 1, "sheet_fields": "status"})",
       "\"sheet_fields\" must be an array of record keys"},
      {R"({"parcel_data": [], "selected_parcel_number": 1, "sheet_fields": ["a","b","c","d","e","f","g"]})",
       "\"sheet_fields\": at most 6 fields, got 7"}};
  for (const auto& [body, message] : members) EXPECT_EQ(read_refusal(body), message) << body;
  EXPECT_FALSE(pl::read_plan_request(R"({"parcel_data": [], "selected_parcel_number": 1, "sheet": "figure"})").sheet);
}

// `count` copies of `item` joined by commas.
std::string repeated(std::size_t count, const std::string& item) {
  std::string out;
  out.reserve(count * (item.size() + 1));
  for (std::size_t i = 0; i < count; ++i) out += (i ? "," : "") + item;
  return out;
}

TEST(PlanBody, BulkAPlanNeverReadsCostsNoMemory) {
  const std::string text = json::parse(example("heptagon_1000.json")).dump();
  const std::string plan = document_svg(text);
  const std::string body_end = text.substr(1);  // after the opening brace
  const std::size_t mb16 = 16 << 20;
  const std::string bulky[] = {// An unknown member of a million small numbers.
                               "{\"comment\":[" + repeated(mb16 / 2, "0") + "]," + body_end,
                               // A hole of a million positions in the selected parcel.
                               [&] {
                                 std::string t = text;
                                 const std::string ring_end = "]]},\"boundary\"";
                                 t.insert(t.find(ring_end) + 1, ",[" + repeated(mb16 / 6, "[1,2]") + "]");
                                 return t;
                               }(),
                               // Each neighbour with a hundred thousand keys of its own.
                               [&] {
                                 std::string t = text;
                                 std::string members;
                                 for (std::size_t i = 0; members.size() < mb16 / 9; ++i)
                                   members += "\"k" + std::to_string(i) + "\":1,";
                                 for (std::size_t at = t.find("{\"parcel_number\"");
                                      at != std::string::npos && at < t.find("\"road_data\"");
                                      at = t.find("{\"parcel_number\"", at + members.size() + 2))
                                   t.insert(at + 1, members);
                                 return t;
                               }()};
  for (const auto& body : bulky) {
    ASSERT_GT(body.size(), 8u << 20);
    const std::size_t before = heap_in_use();
    const auto request = pl::read_plan_request(body);
    EXPECT_LT(heap_in_use() - before, 1u << 20) << "bytes kept from a body of " << body.size();
    EXPECT_EQ(plan_svg(request), plan);
  }
  // Bulk inside what is read is bounded, and refused.
  const std::string key = "{\"selected_parcel_number\":[" + repeated(mb16 / 2, "1") + "]," + body_end;
  const std::string message = read_refusal(key);
  EXPECT_EQ(message.rfind("selected_parcel_number[", 0), 0u) << message;
  EXPECT_NE(message.find("]: more than 250000 values"), std::string::npos) << message;
}

TEST(BatchBody, LeavesEachPlanAsItsOwnTextUntilItsPageIsDrawn) {
  const std::string heptagon = example("heptagon_1000.json");  // pretty-printed, as a client may send it
  const std::string small = json::parse(example("small_parcel_500.json")).dump();
  const std::string text = "{ \"sheet_fields\": [\"status\"], \"plans\" : [ " + heptagon + " ,\n" + small +
                           ",{\"a\":[1,2.5e3,\"]}\\\"{\"],\"b\":{}} , 7, [1, 2] ], \"all_or_nothing\": true, "
                           "\"sheet\": \"full\" }";
  const auto batch = pl::read_batch_request(text);
  const json doc = json::parse(text);
  ASSERT_EQ(batch.plans.size(), 5u);
  for (const std::size_t i : {0, 1, 2, 4}) EXPECT_EQ(json::parse(batch.plans[i]), doc["plans"][i]) << batch.plans[i];
  EXPECT_EQ(read_refusal(std::string(batch.plans[3])), "the request body must be a JSON object");
  EXPECT_EQ(plan_svg(pl::read_plan_request(batch.plans[0])), document_svg(heptagon));
  EXPECT_FALSE(batch.by_id);
  EXPECT_TRUE(batch.all_or_nothing);
  ASSERT_TRUE(batch.sheet);
  EXPECT_EQ(batch.sheet->fields, std::vector<std::string>{"status"});

  const auto ids = pl::read_batch_request(R"({"ids": [42, "seven", 1.5]})");
  EXPECT_TRUE(ids.by_id);
  EXPECT_EQ(json(ids.ids), json::parse(R"([42, "seven", 1.5])"));

  const auto batch_refusal = [](const std::string& body) { return refusal([&] { pl::read_batch_request(body); }); };
  const std::pair<std::string, std::string> cases[] = {
      {R"({"ids": [1], "plans": [{}]})", "give either \"ids\" or \"plans\""},
      {R"({"all_or_nothing": true})", "give either \"ids\" or \"plans\""},
      {R"({"ids": []})", "\"ids\" must be a non-empty array"},
      {R"({"plans": {"parcel_data": []}})", "\"plans\" must be a non-empty array"},
      {"{\"ids\": [" + repeated(101, "1") + "]}", "\"ids\": at most 100 plans in a batch, got 101"},
      {R"({"ids": [1], "all_or_nothing": "yes"})", "\"all_or_nothing\" must be true or false"},
      {R"({"plans": [{}, {"parcel_data": [{"name": "\udc00"}]}]})",
       "the request body is not valid JSON: plans[1].parcel_data[0].name: "}};
  for (const auto& [body, message] : cases) EXPECT_EQ(batch_refusal(body).substr(0, message.size()), message) << body;

  // A 16 MB batch is read without a document of it: its plans stay in the body.
  std::string large = "{\"plans\":[" + repeated(100, heptagon + std::string(160'000, ' ')) + "]}";
  const std::size_t before = heap_in_use();
  const auto hundred = pl::read_batch_request(large);
  EXPECT_EQ(hundred.plans.size(), 100u);
  EXPECT_LT(heap_in_use() - before, 64u << 10);
}

}  // namespace
