#include "host/http/framing.hpp"

#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/field.hpp>

namespace host::http {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The codings of every Transfer-Encoding line, in order, without parameters; empty elements
// of the list are skipped as the list syntax allows.
std::vector<std::string_view> transfer_codings(const boost::beast::http::request_header<>& header) {
  std::vector<std::string_view> codings;
  const auto [first, last] = header.equal_range(boost::beast::http::field::transfer_encoding);
  for (auto field = first; field != last; ++field) {
    std::string_view list(field->value().data(), field->value().size());
    while (true) {
      const auto comma = list.find(',');
      std::string_view element = list.substr(0, comma);
      element = trimmed(element.substr(0, element.find(';')));
      if (!element.empty()) codings.push_back(element);
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  return codings;
}

}  // namespace

std::optional<response> framing_refusal(const boost::beast::http::request_header<>& header) {
  namespace bhttp = boost::beast::http;
  if (header.find(bhttp::field::transfer_encoding) == header.end()) return std::nullopt;
  if (header.version() < 11) return detail_response(400, "Transfer-Encoding is not allowed in HTTP/1.0");
  if (header.find(bhttp::field::content_length) != header.end())
    return detail_response(400, "Both Transfer-Encoding and Content-Length");
  const auto codings = transfer_codings(header);
  if (codings.empty() || !iequals(codings.back(), "chunked"))
    return detail_response(400, "The final transfer coding must be chunked");
  if (codings.size() > 1) return detail_response(501, "Only the chunked transfer coding is supported");
  return std::nullopt;
}

}  // namespace host::http
