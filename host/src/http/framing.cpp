#include "host/http/framing.hpp"

#include "header_lists.hpp"

#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/field.hpp>

namespace host::http {
namespace {

using detail::for_each_element;
using detail::iequals;
using detail::trimmed;

// The codings of every Transfer-Encoding line, in order, without parameters; empty elements
// of the list are skipped as the list syntax allows.
std::vector<std::string_view> transfer_codings(const http_request_header& header) {
  std::vector<std::string_view> codings;
  const auto [first, last] = header.equal_range(boost::beast::http::field::transfer_encoding);
  for (auto field = first; field != last; ++field) {
    for_each_element(std::string_view(field->value().data(), field->value().size()), [&](std::string_view element) {
      if (const auto coding = trimmed(element.substr(0, element.find(';'))); !coding.empty()) codings.push_back(coding);
    });
  }
  return codings;
}

}  // namespace

std::optional<response> framing_refusal(const http_request_header& header) {
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
