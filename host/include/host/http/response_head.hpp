#pragma once
// The status line and header fields of an answer, written as they go on the wire.

#include <string>

#include "host/http/response.hpp"

namespace host::http {

struct head_options {
  unsigned version = 11;   // 10 or 11, as the request's
  bool keep_alive = true;  // whether the connection stays open after this answer
  bool head = false;       // an answer to HEAD: the length of the payload, without it
};

// "HTTP/1.1 200 OK\r\n" ... "\r\n" for `r`: Server, Content-Type, the handler's headers, then
// Content-Length (none for 1xx, 204 and 304; for a streamed answer "Transfer-Encoding: chunked"
// on 1.1 and nothing on 1.0) and Connection where the version's default is not
// what `keep_alive` asks for. A header whose name or value would break the framing (CR, LF or
// NUL, or a name that is not a token) is left out rather than sent.
std::string write_head(const response& r, const head_options& options);
// The same into `out`, replacing what it held: a connection reuses one buffer for its answers.
void write_head(const response& r, const head_options& options, std::string& out);

// Whether a status carries no payload: 1xx, 204 and 304.
bool is_bodiless(unsigned status);

}  // namespace host::http
