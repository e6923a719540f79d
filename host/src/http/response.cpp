#include "host/http/response.hpp"

namespace host::http {

response json_response(const nlohmann::ordered_json& body, unsigned status) {
  response r;
  r.status = status;
  r.content_type = "application/json";
  r.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return r;
}

response raw_response(std::string body, std::string content_type, unsigned status) {
  response r;
  r.status = status;
  r.body = std::move(body);
  r.content_type = std::move(content_type);
  return r;
}

response entity_response(shared_representation entity, std::string content_type, unsigned status) {
  response r;
  r.status = status;
  r.entity = std::move(entity);
  r.content_type = std::move(content_type);
  r.headers.reserve(8);  // caching, validators, encoding and CORS: grown once, not four times
  return r;
}

response empty_response(unsigned status) {
  response r;
  r.status = status;
  return r;
}

response detail_response(unsigned status, std::string_view detail) {
  nlohmann::ordered_json body;
  body["detail"] = detail;
  return json_response(body, status);
}

}  // namespace host::http
