#pragma once
// Cross-origin reads from browsers: which origins may read our answers, and the headers that
// tell a browser so, for simple requests and for preflights.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/http/response.hpp"

namespace host::http {

struct cors_policy {
  bool any_origin = true;            // "*": every origin, except for restricted routes
  std::vector<std::string> origins;  // exact serialised origins, e.g. "https://maps.example.org"
};

// "*" or a comma list of origins ("scheme://host[:port]", http or https, no path). Throws
// std::invalid_argument naming the first bad entry.
cors_policy parse_cors_origins(std::string_view text);

// The Access-Control-Allow-Origin value for a request from `origin`, or none when that
// origin may not read the answer. `restricted` routes (those that change state) are open to
// listed origins only, never through "*". A view into `policy` or a literal.
std::optional<std::string_view> allowed_origin(const cors_policy& policy, std::string_view origin, bool restricted);

// Headers a browser may show to a script beyond the safelisted ones.
inline constexpr std::string_view CORS_EXPOSED_HEADERS = "ETag, X-Cache, Content-Encoding, Retry-After, WWW-Authenticate";
// Request headers a preflight may announce.
inline constexpr std::string_view CORS_ALLOWED_HEADERS = "Authorization, Content-Type, If-None-Match";

// Adds the CORS headers of an actual (non-preflight) answer: Allow-Origin and Expose-Headers
// when `origin` may read it, and Vary: Origin whenever the answer depends on the origin. The
// answer borrows text from `policy`, which must outlive it.
void add_cors_headers(response& r, const cors_policy& policy, std::optional<std::string_view> origin, bool restricted);

// Appends `token` to the answer's Vary header (one header, comma separated).
void add_vary(response& r, std::string_view token);

}  // namespace host::http
