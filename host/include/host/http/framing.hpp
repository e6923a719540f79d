#pragma once
// Message framing checks the HTTP parser leaves to the server. A request whose body length is
// ambiguous must not be answered as if it had one length while a proxy in front of us saw
// another: that is how requests are smuggled. Refused requests close the connection.

#include <optional>

#include "host/http/request.hpp"
#include "host/http/response.hpp"

namespace host::http {

// The answer that refuses `header`, or none when its framing is sound:
// - Transfer-Encoding in an HTTP/1.0 request (that version has no transfer codings): 400;
// - Transfer-Encoding together with Content-Length: 400;
// - a final transfer coding other than "chunked" (the body length is then unknown): 400;
// - "chunked" after other codings we cannot decode (e.g. "gzip, chunked"): 501.
std::optional<response> framing_refusal(const http_request_header& header);

}  // namespace host::http
