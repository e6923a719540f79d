#pragma once
// Reading header values that are comma-separated lists of tokens (Transfer-Encoding,
// Accept-Encoding, If-None-Match): optional whitespace, empty elements, tokens without case.

#include <string_view>

namespace host::http::detail {

inline bool is_space(char c) { return c == ' ' || c == '\t'; }

inline std::string_view trimmed(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

inline bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Calls `f` with each trimmed, non-empty element of a comma-separated list.
template <typename F>
void for_each_element(std::string_view list, F&& f) {
  while (true) {
    const auto comma = list.find(',');
    if (const auto element = trimmed(list.substr(0, comma)); !element.empty()) f(element);
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace host::http::detail
