// The request head the server checks before routing: which host a request is for, and what
// it expects before sending its body.
#include <gtest/gtest.h>

#include <boost/beast/http/message.hpp>

#include "host/http/request_head.hpp"

namespace {
using namespace host::http;
namespace bhttp = boost::beast::http;

http_request_header head(std::string target, std::vector<std::pair<std::string, std::string>> fields,
                             unsigned version = 11) {
  http_request_header h;
  h.method(bhttp::verb::get);
  h.target(target);
  h.version(version);
  for (const auto& [name, value] : fields) h.insert(name, value);
  return h;
}

unsigned status_of(http_request_header h) {
  const auto refusal = settle_host(h);
  return refusal ? refusal->status : 0;
}

TEST(HostField, GrammarOfNamesAddressesAndPorts) {
  for (const char* good : {"tiles.example.org", "tiles.example.org:8443", "127.0.0.1:80", "[::1]", "[2001:db8::1]:443",
                           "xn--bcher-kva.example", "my_host", "a%20b", "", "host:", "host:65535"})
    EXPECT_TRUE(valid_host_field(good)) << good;
  for (const char* bad : {"a b", "a/b", "user@host", "host:99999", "host:8o", "host:1:2", "[::1", "[::1]x", "[]",
                          "a%2", "a%zz", "evil.com\"", "host:000080"})
    EXPECT_FALSE(valid_host_field(bad)) << bad;
}

TEST(HostField, OneHostOnHttp11AndNoneNeededOnHttp10) {
  EXPECT_EQ(status_of(head("/x", {{"Host", "a"}})), 0u);
  EXPECT_EQ(status_of(head("/x", {})), 400u);
  EXPECT_EQ(status_of(head("/x", {}, 10)), 0u);
  // Two, even equal: which one a proxy before us used cannot be known.
  EXPECT_EQ(status_of(head("/x", {{"Host", "a"}, {"Host", "b"}})), 400u);
  EXPECT_EQ(status_of(head("/x", {{"Host", "a"}, {"host", "a"}}, 10)), 400u);
  EXPECT_EQ(status_of(head("/x", {{"Host", "a:99999"}})), 400u);
}

TEST(HostField, AnAbsoluteTargetNamesTheHost) {
  auto h = head("http://tiles.example.org:8443/gis/plots/tilejson.json", {{"Host", "evil.com"}});
  EXPECT_FALSE(settle_host(h));
  EXPECT_EQ(h[bhttp::field::host], "tiles.example.org:8443");
  EXPECT_EQ(h.count(bhttp::field::host), 1u);

  auto upper = head("HTTPS://Tiles.example.org?x=1", {{"Host", "a"}});
  EXPECT_FALSE(settle_host(upper));
  EXPECT_EQ(upper[bhttp::field::host], "Tiles.example.org");

  for (const char* bad : {"http://user@tiles.example.org/x", "http:///x", "http://a b/x", "http://a:99999/x"})
    EXPECT_EQ(status_of(head(bad, {{"Host", "a"}})), 400u) << bad;
  // The target does not excuse a missing Host on HTTP/1.1.
  EXPECT_EQ(status_of(head("http://a/x", {})), 400u);
  // Neither form: left to the router (400 there), Host untouched.
  auto odd = head("*", {{"Host", "a"}});
  EXPECT_FALSE(settle_host(odd));
  EXPECT_EQ(odd[bhttp::field::host], "a");
}

TEST(Expectations, OnlyContinueCanBeMet) {
  EXPECT_EQ(expectation_of(head("/x", {})), expectation::none);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", "100-continue"}})), expectation::continue_100);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", "100-Continue"}})), expectation::continue_100);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", " , 100-continue ,"}})), expectation::continue_100);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", "100-continue, gzip"}})), expectation::unmet);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", "100-continue"}, {"Expect", "foo=bar"}})), expectation::unmet);
  EXPECT_EQ(expectation_of(head("/x", {{"Expect", "200-ok"}})), expectation::unmet);
}

}  // namespace
