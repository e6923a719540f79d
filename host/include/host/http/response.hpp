#pragma once
// What a handler answers: raw bytes with a media type and extra headers, or JSON, or a body
// produced while it is sent.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "host/http/header_text.hpp"
#include "host/http/representation.hpp"

namespace host::http {

class stream_writer;
// Writes a streamed body; the server ends it (cancels it) when the client goes away or the
// server drains, and ends the answer when it returns.
using body_producer = std::function<boost::asio::awaitable<void>(stream_writer&)>;

struct response {
  unsigned status = 200;
  std::string body;
  header_text content_type;  // empty: no Content-Type header (e.g. 204)
  std::vector<std::pair<header_text, header_text>> headers;
  // A shared body in place of `body`. The host answers If-None-Match and Accept-Encoding
  // against it after the handler (304, or its gzip copy), and sends it without copying.
  shared_representation entity;
  bool gzip = false;  // set by that negotiation: the entity's gzip copy is sent
  // Where a tile answer came from ("memory", "redis", "miss", "empty"), for the access log;
  // never sent.
  std::string_view cache_note{};
  // A body written after the head, in place of `body` and `entity`: sent without a length
  // (chunked on HTTP/1.1, until the connection closes on HTTP/1.0). Counted and logged once,
  // when it starts.
  body_producer stream;

  // The bytes this answer carries.
  std::string_view payload() const {
    if (!entity) return body;
    return gzip ? entity->gzip() : entity->bytes();
  }

  response& header(header_text name, header_text value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
};

// Compact JSON, non-ASCII characters kept as UTF-8.
response json_response(const nlohmann::ordered_json& body, unsigned status = 200);
response raw_response(std::string body, header_text content_type, unsigned status = 200);
response entity_response(shared_representation entity, header_text content_type, unsigned status = 200);
response empty_response(unsigned status = 204);
response detail_response(unsigned status, std::string_view detail);

// "public, max-age=N": the few ages a server configures are made once and then borrowed.
header_text public_max_age(long long seconds);

}  // namespace host::http
