#include "host/http/negotiation.hpp"

#include "header_lists.hpp"

#include <charconv>
#include <optional>
#include <vector>

namespace host::http {
namespace {

using detail::for_each_element;
using detail::iequals;
using detail::trimmed;

std::string_view opaque_tag(std::string_view tag) {
  if (tag.starts_with("W/")) tag.remove_prefix(2);
  return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' ? tag : std::string_view{};
}

// The quality of a coding element ("gzip;q=0.5"): 1 without a q parameter, none when the
// parameter is malformed.
std::optional<double> quality(std::string_view params) {
  double q = 1;
  while (!params.empty()) {
    const auto semi = params.find(';');
    const auto param = trimmed(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view{} : params.substr(semi + 1);
    const auto eq = param.find('=');
    if (eq == std::string_view::npos || !iequals(trimmed(param.substr(0, eq)), "q")) continue;
    const auto value = trimmed(param.substr(eq + 1));
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), q);
    if (ec != std::errc() || end != value.data() + value.size() || q < 0 || q > 1) return std::nullopt;
  }
  return q;
}

}  // namespace

bool if_none_match_matches(std::string_view if_none_match, std::string_view etag) {
  const auto wanted = opaque_tag(etag);
  bool matched = false;
  for_each_element(if_none_match, [&](std::string_view element) {
    if (element == "*") matched = true;
    const auto tag = opaque_tag(element);
    if (!tag.empty() && tag == wanted) matched = true;
  });
  return matched;
}

void negotiate(response& answer, std::optional<std::string_view> if_none_match, std::string_view accept_encoding) {
  if (!answer.entity || answer.status != 200) return;
  const bool gzip = accepts_gzip(accept_encoding) && !answer.entity->gzip().empty();
  // Borrowed from the entity, which the answer holds.
  auto etag = header_text::lasting(gzip ? answer.entity->gzip_etag() : answer.entity->etag());
  answer.headers.emplace_back("Vary", "Accept-Encoding");
  if (if_none_match && if_none_match_matches(*if_none_match, etag)) {
    answer.status = 304;
    answer.content_type.clear();
    answer.gzip = false;
  } else if (gzip) {
    answer.gzip = true;
    answer.headers.emplace_back("Content-Encoding", "gzip");
  }
  answer.headers.emplace_back("ETag", std::move(etag));
}

bool accepts_gzip(std::string_view accept_encoding) {
  std::optional<double> named, any;
  for_each_element(accept_encoding, [&](std::string_view element) {
    const auto semi = element.find(';');
    const auto coding = trimmed(element.substr(0, semi));
    const auto q = quality(semi == std::string_view::npos ? std::string_view{} : element.substr(semi + 1));
    if (!q) return;
    if (iequals(coding, "gzip") || iequals(coding, "x-gzip")) named = named ? std::max(*named, *q) : *q;
    else if (coding == "*") any = *q;
  });
  if (named) return *named > 0;
  return any && *any > 0;
}

std::optional<std::size_t> preferred_media_type(std::string_view accept, std::span<const std::string_view> offered) {
  // Per offer: the specificity (0 none, 1 */*, 2 type/*, 3 type/subtype) and quality of the
  // range that decides it.
  struct verdict {
    int specificity = 0;
    double q = 0;
  };
  std::vector<verdict> verdicts(offered.size());
  for_each_element(accept, [&](std::string_view element) {
    const auto semi = element.find(';');
    const auto range = trimmed(element.substr(0, semi));
    const auto q = quality(semi == std::string_view::npos ? std::string_view{} : element.substr(semi + 1));
    const auto slash = range.find('/');
    if (!q || slash == std::string_view::npos) return;
    const auto type = range.substr(0, slash), subtype = range.substr(slash + 1);
    for (std::size_t i = 0; i < offered.size(); ++i) {
      const auto offer = offered[i];
      const auto offer_slash = offer.find('/');
      int specificity = 0;
      if (type == "*" && subtype == "*") specificity = 1;
      else if (subtype == "*" && iequals(type, offer.substr(0, offer_slash))) specificity = 2;
      else if (iequals(range, offer)) specificity = 3;
      if (specificity > verdicts[i].specificity) verdicts[i] = {specificity, *q};
    }
  });
  std::optional<std::size_t> best;
  bool named = false;
  for (std::size_t i = 0; i < offered.size(); ++i) {
    if (verdicts[i].specificity == 0 || verdicts[i].q <= 0) continue;
    named |= verdicts[i].specificity > 1;
    if (!best || verdicts[i].q > verdicts[*best].q) best = i;
  }
  if (!named) return std::nullopt;
  return best;
}

}  // namespace host::http
