#include <cctype>
#include <memory>

#include "host/http/app.hpp"

namespace host::http {
namespace {

// "get_tile_xyz" -> "Get Tile Xyz"
std::string title_case(std::string_view name) {
  std::string out;
  bool start = true;
  for (char c : name) {
    if (c == '_') {
      out += ' ';
      start = true;
    } else {
      out += start ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      start = false;
    }
  }
  return out;
}

nlohmann::ordered_json to_json(const param_value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<integer>(&v)) {
    if (i->value) return *i->value;
    return i->text;
  }
  if (const auto* d = std::get_if<double>(&v)) return *d;
  return std::get<bool>(v);
}

nlohmann::ordered_json parameter(const param_spec& p) {
  nlohmann::ordered_json schema;
  schema["type"] = std::string(to_string(p.type));
  schema["title"] = title_case(p.name);
  if (p.minimum) schema["minimum"] = *p.minimum;
  if (p.default_value) schema["default"] = to_json(*p.default_value);
  if (!p.description.empty()) schema["description"] = p.description;
  nlohmann::ordered_json j;
  j["name"] = p.name;
  j["in"] = std::string(to_string(p.in));
  j["required"] = !p.default_value.has_value();
  j["schema"] = std::move(schema);
  if (!p.description.empty()) j["description"] = p.description;
  return j;
}

nlohmann::ordered_json operation(const route& r) {
  nlohmann::ordered_json op;
  if (!r.tags.empty()) op["tags"] = r.tags;
  op["summary"] = title_case(r.declared.name);
  if (!r.declared.description.empty()) op["description"] = r.declared.description;
  op["operationId"] = r.declared.name;
  auto params = nlohmann::ordered_json::array();
  for (const auto& p : r.declared.params) params.push_back(parameter(p));
  if (!params.empty()) op["parameters"] = std::move(params);
  if (!r.declared.request_body.empty()) {
    op["requestBody"]["required"] = true;
    op["requestBody"]["content"][r.declared.request_body]["schema"]["type"] = "object";
  }

  if (r.declared.who != access::open) {
    // Enforced only when the operator sets the token; described always, so clients know.
    op["security"] = nlohmann::ordered_json::array({{{r.declared.who == access::admin ? "adminToken" : "metricsToken",
                                                      nlohmann::ordered_json::array()}}});
  }

  nlohmann::ordered_json ok;
  ok["description"] = "Successful Response";
  ok["content"][r.declared.media_type] = nlohmann::ordered_json::object();
  op["responses"]["200"] = std::move(ok);
  if (!r.declared.params.empty()) {
    nlohmann::ordered_json invalid;
    invalid["description"] = "Validation Error";
    invalid["content"]["application/json"]["schema"]["$ref"] = "#/components/schemas/HTTPValidationError";
    op["responses"]["422"] = std::move(invalid);
  }
  if (r.declared.who != access::open) {
    op["responses"]["401"]["description"] = "Missing or wrong bearer token";
    if (r.declared.who == access::admin)
      op["responses"]["403"]["description"] = "Called from a browser on an origin that is not listed";
  }
  return op;
}

nlohmann::ordered_json validation_schemas() {
  return nlohmann::ordered_json::parse(R"({
    "HTTPValidationError": {"title": "HTTPValidationError", "type": "object",
      "properties": {"detail": {"title": "Detail", "type": "array",
                                "items": {"$ref": "#/components/schemas/ValidationError"}}}},
    "ValidationError": {"title": "ValidationError", "type": "object", "required": ["loc", "msg", "type"],
      "properties": {"loc": {"title": "Location", "type": "array",
                             "items": {"anyOf": [{"type": "string"}, {"type": "integer"}]}},
                     "msg": {"title": "Message", "type": "string"},
                     "type": {"title": "Error Type", "type": "string"}}}
  })");
}

}  // namespace

nlohmann::ordered_json app::openapi() const {
  nlohmann::ordered_json doc;
  doc["openapi"] = "3.1.0";
  doc["info"]["title"] = title_;
  doc["info"]["version"] = version_;
  nlohmann::ordered_json paths = nlohmann::ordered_json::object();
  for (const auto& r : routes_) {
    if (!r.declared.include_in_schema) continue;
    std::string method(boost::beast::http::to_string(r.declared.method));
    for (char& c : method) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    paths[r.full_path.text()][method] = operation(r);
  }
  doc["paths"] = std::move(paths);
  doc["components"]["schemas"] = validation_schemas();
  for (const char* name : {"adminToken", "metricsToken"}) {
    doc["components"]["securitySchemes"][name]["type"] = "http";
    doc["components"]["securitySchemes"][name]["scheme"] = "bearer";
  }
  return doc;
}

}  // namespace host::http

namespace host::http {

router api_description_router(const app& application) {
  router r;
  r.add({.path = "/openapi.json", .name = "openapi", .description = "The API description.", .include_in_schema = false},
        [&application, text = std::make_shared<std::string>()](request_context&) -> boost::asio::awaitable<response> {
          // Routes are all mounted before the first request, so the description is built once.
          if (text->empty()) *text = json_response(application.openapi()).body;
          co_return raw_response(*text, "application/json");
        });
  return r;
}

}  // namespace host::http
