#pragma once
// Bearer-token checks for the routes an operator protects.

#include <string_view>

namespace host::http {

// Whether an Authorization header value is "Bearer <token>" with exactly `token`. The token is
// compared in a time that does not depend on where the values differ, nor on how long the
// presented one is, so that timing reveals nothing about `token` but its length.
bool bearer_matches(std::string_view authorization, std::string_view token) noexcept;

}  // namespace host::http
