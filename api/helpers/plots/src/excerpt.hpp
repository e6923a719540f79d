#pragma once

// Input quoted in error messages. A message names the field and shows the offending value, but
// only its beginning: a megabyte of text in a record must not become a megabyte of message,
// log line and HTTP answer. Characters that cannot be printed are shown as escapes, since a
// message may itself be printed (a batch's notice page).

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace printsvc::plots::detail {

inline constexpr std::size_t max_excerpt_chars = 60;

/// The JSON text of `v` when it is at most max_excerpt_chars characters, otherwise its first
/// max_excerpt_chars characters and "…". Reads no further into `v` than it shows.
std::string excerpt(const nlohmann::ordered_json& v);

/// `text` itself when at most max_excerpt_chars characters, otherwise its beginning and "…".
std::string excerpt_text(std::string_view text);

}  // namespace printsvc::plots::detail
