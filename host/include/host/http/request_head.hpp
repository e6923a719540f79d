#pragma once
// Checks of a request's head that the HTTP parser leaves to the server: which host the request
// is for, and what it expects before sending its body.

#include <optional>
#include <string_view>

#include "host/http/request.hpp"
#include "host/http/response.hpp"

namespace host::http {

// The answer that refuses `head` for its host, or none. Refused with 400: no Host on HTTP/1.1,
// more than one Host, a Host that is not "host[:port]", and an absolute-form target whose
// authority is empty, carries user information or is not a host. Otherwise an absolute-form
// target's authority replaces Host, which it overrides.
std::optional<response> settle_host(http_request_header& head);

// A Host field value as the grammar allows it: a registered name (letters, digits, "-._~",
// sub-delimiters, percent escapes), an IPv4 address or a bracketed IP literal, then
// optionally ":" and a port of at most 65535. Empty is allowed (a target without authority).
bool valid_host_field(std::string_view value) noexcept;

// What the Expect fields of a request ask for.
enum class expectation {
  none,
  continue_100,  // "100-continue": the client may wait for "100 Continue" before its body
  unmet,         // anything else: 417
};
expectation expectation_of(const http_request_header& head);

}  // namespace host::http
