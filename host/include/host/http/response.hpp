#pragma once
// What a handler answers: raw bytes with a media type and extra headers, or JSON.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/http/representation.hpp"

namespace host::http {

struct response {
  unsigned status = 200;
  std::string body;
  std::string content_type;  // empty: no Content-Type header (e.g. 204)
  std::vector<std::pair<std::string, std::string>> headers;
  // A shared body in place of `body`. The host answers If-None-Match and Accept-Encoding
  // against it after the handler (304, or its gzip copy), and sends it without copying.
  shared_representation entity;
  bool gzip = false;  // set by that negotiation: the entity's gzip copy is sent
  // Where a tile answer came from ("memory", "redis", "miss", "empty"), for the access log;
  // never sent.
  std::string_view cache_note{};

  // The bytes this answer carries.
  std::string_view payload() const {
    if (!entity) return body;
    return gzip ? entity->gzip() : entity->bytes();
  }

  response& header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
};

// Compact JSON, non-ASCII characters kept as UTF-8.
response json_response(const nlohmann::ordered_json& body, unsigned status = 200);
response raw_response(std::string body, std::string content_type, unsigned status = 200);
response entity_response(shared_representation entity, std::string content_type, unsigned status = 200);
response empty_response(unsigned status = 204);
response detail_response(unsigned status, std::string_view detail);

}  // namespace host::http
