#include "host/http/response.hpp"

#include <map>
#include <mutex>

#include <fmt/format.h>

namespace host::http {

response json_response(const nlohmann::ordered_json& body, unsigned status) {
  response r;
  r.status = status;
  r.content_type = "application/json";
  r.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return r;
}

response raw_response(std::string body, header_text content_type, unsigned status) {
  response r;
  r.status = status;
  r.body = std::move(body);
  r.content_type = std::move(content_type);
  return r;
}

response entity_response(shared_representation entity, header_text content_type, unsigned status) {
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

header_text public_max_age(long long seconds) {
  // Bounded: ages beyond the first few dozen seen are written for each answer.
  constexpr std::size_t most_kept = 64;
  static std::mutex guard;
  static std::map<long long, const std::string> made;  // nodes stay put: the texts never move
  const std::lock_guard lock(guard);
  if (const auto kept = made.find(seconds); kept != made.end()) return header_text::lasting(kept->second);
  std::string text = fmt::format("public, max-age={}", seconds);
  if (made.size() >= most_kept) return text;
  return header_text::lasting(made.emplace(seconds, std::move(text)).first->second);
}

}  // namespace host::http
