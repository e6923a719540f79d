#include "host/http/bearer.hpp"

#include <cstddef>

namespace host::http {

bool bearer_matches(std::string_view authorization, std::string_view token) noexcept {
  if (token.empty()) return false;
  constexpr std::string_view scheme = "bearer";
  if (authorization.size() <= scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i)
    if ((authorization[i] | 0x20) != scheme[i]) return false;
  std::string_view presented = authorization.substr(scheme.size());
  if (presented.front() != ' ') return false;
  while (!presented.empty() && presented.front() == ' ') presented.remove_prefix(1);
  while (!presented.empty() && (presented.back() == ' ' || presented.back() == '\t')) presented.remove_suffix(1);

  // Always walk the whole expected token; a length mismatch only sets a bit.
  volatile unsigned char difference = presented.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const unsigned char got = presented.empty() ? 0 : static_cast<unsigned char>(presented[i % presented.size()]);
    difference = difference | (got ^ static_cast<unsigned char>(token[i]));
  }
  return difference == 0;
}

}  // namespace host::http
