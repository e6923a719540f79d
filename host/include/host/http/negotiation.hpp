#pragma once
// The request headers that let a client skip a body it already has (If-None-Match) or get a
// smaller one (Accept-Encoding). Pure text checks, no I/O.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "host/http/response.hpp"

namespace host::http {

// Whether an If-None-Match header matches `etag` (a quoted entity tag such as "\"3f2a\""):
// "*", or any listed tag equal to it under the weak comparison (a "W/" prefix on either side
// is ignored). Malformed list elements match nothing.
bool if_none_match_matches(std::string_view if_none_match, std::string_view etag);

// Whether an Accept-Encoding header accepts gzip: listed as "gzip" (or "x-gzip") with a
// non-zero quality, or covered by "*" with a non-zero quality and not refused by name
// ("gzip;q=0"). An absent or empty header accepts no coding but identity.
bool accepts_gzip(std::string_view accept_encoding);

// Which of `offered` (media types such as "image/png", in the server's order of preference) an
// Accept header prefers: each offer takes the quality of the most specific range that matches
// it (type/subtype over type/* over */*; q=0 refuses), the highest quality wins, and ties go to
// the earlier offer. None when the header is absent or empty, or no offer is matched by a more
// specific range than "*/*" (the caller's own default then stands), or every offer is refused.
std::optional<std::size_t> preferred_media_type(std::string_view accept, std::span<const std::string_view> offered);

// Settles an answer with a shared entity against the request: its ETag (of the gzip copy when
// that is chosen), "Vary: Accept-Encoding", then either 304 without a body when
// `if_none_match` matches, or the gzip copy when `accept_encoding` accepts it. Answers without
// an entity, or with a status other than 200, are left as they are.
void negotiate(response& answer, std::optional<std::string_view> if_none_match, std::string_view accept_encoding);

}  // namespace host::http
