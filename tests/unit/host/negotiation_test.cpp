// If-None-Match and Accept-Encoding as browsers, proxies and odd clients send them.
#include <gtest/gtest.h>

#include <unistd.h>

#include "host/http/negotiation.hpp"
#include "host/http/representation.hpp"

namespace {
using host::http::accepts_gzip;
using host::http::if_none_match_matches;
using host::http::preferred_media_type;

TEST(IfNoneMatch, ListsWildcardAndWeakComparison) {
  const std::string_view etag = "\"7f3a\"";
  const std::pair<const char*, bool> cases[] = {
      {"\"7f3a\"", true},           {"W/\"7f3a\"", true},  // weak comparison ignores W/
      {"\"x\", \"7f3a\"", true},    {" \"a\" ,W/\"7f3a\" ", true},
      {"*", true},                  {"\"7f3a-gz\"", false},
      {"7f3a", false},              // not quoted: malformed, matches nothing
      {"", false},                  {"\"7F3A\"", false},  // opaque tags compare exactly
      {",,\"7f3a\",,", true},       {"\"", false}};
  for (const auto& [header, expected] : cases) EXPECT_EQ(if_none_match_matches(header, etag), expected) << header;
  EXPECT_TRUE(if_none_match_matches("W/\"7f3a\"", "W/\"7f3a\""));
}

TEST(AcceptEncoding, GzipWithQualitiesAndRefusals) {
  const std::pair<const char*, bool> cases[] = {
      {"gzip", true},
      {"gzip, deflate, br", true},
      {"br;q=1.0, gzip;q=0.8, *;q=0.1", true},
      {"GZIP", true},
      {"x-gzip", true},
      {"gzip;q=0", false},
      {"gzip; q=0.000", false},
      {"*", true},
      {"*;q=0", false},
      {"*, gzip;q=0", false},  // refused by name, whatever the wildcard says
      {"deflate, br", false},
      {"identity", false},
      {"", false},
      {"gzip;q=2", false},  // malformed quality: the element is ignored
      {"gzip;q=abc, *", true},
      {"gzip;level=9", true}};
  for (const auto& [header, expected] : cases) EXPECT_EQ(accepts_gzip(header), expected) << header;
}

}  // namespace

namespace {
using host::http::negotiate;
using host::http::representation;
using host::http::response;

std::string header(const response& r, std::string_view name) {
  for (const auto& [n, v] : r.headers)
    if (n == name) return v.str();
  return "";
}

response tile_answer() {
  auto r = host::http::entity_response(std::make_shared<representation>(std::string(20'000, 'z') + "tile"),
                                       "application/vnd.mapbox-vector-tile");
  r.header("Cache-Control", "public, max-age=3600");
  return r;
}

TEST(Negotiate, GzipOnceAcceptedAnd304ForTheVariantTheClientHas) {
  auto plain = tile_answer();
  negotiate(plain, std::nullopt, "gzip;q=0, br");
  EXPECT_EQ(plain.status, 200u);
  EXPECT_FALSE(plain.gzip);
  EXPECT_EQ(plain.payload(), plain.entity->bytes());
  EXPECT_EQ(header(plain, "Vary"), "Accept-Encoding");
  const std::string etag = header(plain, "ETag");
  EXPECT_EQ(etag, plain.entity->etag());
  EXPECT_EQ(etag.size(), 18u);  // 16 hex digits, quoted

  auto zipped = tile_answer();
  negotiate(zipped, std::nullopt, "gzip, deflate, br");
  EXPECT_TRUE(zipped.gzip);
  EXPECT_EQ(header(zipped, "Content-Encoding"), "gzip");
  EXPECT_LT(zipped.payload().size(), 1000u);
  EXPECT_TRUE(zipped.payload().starts_with("\x1f\x8b"));
  const std::string gzip_etag = header(zipped, "ETag");
  EXPECT_NE(gzip_etag, etag);

  // The same bytes give the same tag, in any process.
  EXPECT_EQ(tile_answer().entity->etag(), etag);

  auto revalidated = tile_answer();
  negotiate(revalidated, "W/" + gzip_etag + ", \"other\"", "gzip");
  EXPECT_EQ(revalidated.status, 304u);
  EXPECT_EQ(header(revalidated, "ETag"), gzip_etag);
  EXPECT_EQ(header(revalidated, "Cache-Control"), "public, max-age=3600");
  EXPECT_TRUE(revalidated.content_type.empty());
  EXPECT_EQ(header(revalidated, "Content-Encoding"), "");

  // A client holding the plain copy that now accepts gzip gets the gzip copy, not a 304.
  auto changed = tile_answer();
  negotiate(changed, etag, "gzip");
  EXPECT_EQ(changed.status, 200u);
  EXPECT_TRUE(changed.gzip);

  auto any = tile_answer();
  negotiate(any, "*", "");
  EXPECT_EQ(any.status, 304u);
}

TEST(Negotiate, LeavesOtherAnswersAlone) {
  auto error = host::http::detail_response(404, "nope");
  negotiate(error, "*", "gzip");
  EXPECT_EQ(error.status, 404u);
  EXPECT_TRUE(error.headers.empty());
  // Bytes that gzip cannot shrink are sent as they are.
  auto tiny = host::http::entity_response(std::make_shared<representation>("ab"), "text/plain");
  negotiate(tiny, std::nullopt, "gzip");
  EXPECT_FALSE(tiny.gzip);
  EXPECT_EQ(tiny.payload(), "ab");
}

// Plans offer PNG, PDF and SVG in that order.
TEST(Accept, TheMostSpecificRangeGivesEachOfferItsQualityAndTiesGoToTheServersOrder) {
  constexpr std::string_view offered[] = {"image/png", "application/pdf", "image/svg+xml"};
  const auto pick = [&](std::string_view accept) { return preferred_media_type(accept, offered); };
  EXPECT_EQ(pick("image/svg+xml"), 2u);
  EXPECT_EQ(pick("application/pdf, image/png"), 0u);                 // equal: the server's order
  EXPECT_EQ(pick("image/png;q=0.5, application/pdf"), 1u);
  EXPECT_EQ(pick("IMAGE/SVG+XML;q=0.9, image/*;q=0.8"), 2u);          // names are case-blind
  EXPECT_EQ(pick("image/*;q=0.8, image/png;q=0.1, image/svg+xml"), 2u);  // png refused by name, mostly
  EXPECT_EQ(pick("image/avif,image/webp,image/svg+xml,image/*,*/*;q=0.8"), 0u);  // a browser's <img>
  EXPECT_EQ(pick("image/png;q=0, image/*"), 2u);                      // q=0 refuses
  // Nothing beyond */*, nothing at all, or nothing acceptable: the caller's default.
  EXPECT_FALSE(pick("*/*"));
  EXPECT_FALSE(pick(""));
  EXPECT_FALSE(pick("text/html"));
  EXPECT_FALSE(pick("image/png;q=0, application/pdf;q=0, image/svg+xml;q=0"));
  EXPECT_FALSE(pick("image/png;q=2"));                                // a malformed quality counts as absent
}

}  // namespace

namespace {

std::string read_range(const host::http::file_range& range) {
  std::string out(range.size, '\0');
  const auto n = ::pread(range.fd, out.data(), out.size(), static_cast<off_t>(range.offset));
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

TEST(SharedRepresentation, ALargeBodyIsSentFromAFileHoldingTheSameBytesAsItsViews) {
  std::string body;
  for (unsigned i = 0; body.size() < 60'000; ++i) body += std::to_string(i * 2654435761u) + ";";
  const auto big = host::http::representation::shared(body);
  EXPECT_EQ(big->bytes(), body);
  EXPECT_EQ(big->etag(), host::http::strong_etag(body));
  const auto plain = big->file(false);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(read_range(*plain), body);
  // The gzip copy lands in the same file, after the bytes, and reads back the same.
  const auto zipped = big->file(true);
  ASSERT_TRUE(zipped.has_value());
  EXPECT_EQ(zipped->fd, plain->fd);
  EXPECT_GE(zipped->offset, body.size());
  EXPECT_EQ(read_range(*zipped), big->gzip());
  EXPECT_EQ(read_range(*plain), body);  // untouched by the append

  // Small bodies and small gzip copies stay on the heap and are copied into the socket.
  EXPECT_FALSE(host::http::representation::shared("tiny")->file(false).has_value());
  const auto compressible = host::http::representation::shared(std::string(100'000, 'a'));
  EXPECT_TRUE(compressible->file(false).has_value());
  EXPECT_FALSE(compressible->file(true).has_value());
  EXPECT_FALSE(compressible->gzip().empty());
}

}  // namespace
