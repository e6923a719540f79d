#include "host/http/response_head.hpp"

#include <gtest/gtest.h>

namespace host::http {
namespace {

TEST(ResponseHead, FramesTheAnswerForEachVersionAndMethod) {
  response r = raw_response("hello", "text/plain");
  r.header("X-Cache", "HIT");
  EXPECT_EQ(write_head(r, {}),
            "HTTP/1.1 200 OK\r\nServer: mapsvc\r\nContent-Type: text/plain\r\nX-Cache: HIT\r\n"
            "Content-Length: 5\r\n\r\n");
  EXPECT_EQ(write_head(r, {.version = 11, .keep_alive = false}).find("Connection: close\r\n") != std::string::npos, true);
  const std::string old_open = write_head(r, {.version = 10, .keep_alive = true});
  EXPECT_TRUE(old_open.starts_with("HTTP/1.0 200 OK\r\n"));
  EXPECT_NE(old_open.find("Connection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(write_head(r, {.version = 10, .keep_alive = false}).find("Connection"), std::string::npos);
  // HEAD announces the length of what GET would carry.
  EXPECT_NE(write_head(r, {.head = true}).find("Content-Length: 5\r\n"), std::string::npos);
}

TEST(ResponseHead, BodilessStatusesCarryNoLength) {
  for (unsigned status : {101u, 204u, 304u}) {
    response r = empty_response(status);
    r.header("ETag", "\"a\"");
    const std::string head = write_head(r, {});
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << status;
    EXPECT_NE(head.find("ETag: \"a\"\r\n"), std::string::npos) << status;
  }
  EXPECT_NE(write_head(empty_response(404), {}).find("Content-Length: 0\r\n"), std::string::npos);
}

TEST(ResponseHead, FieldsThatWouldSplitTheAnswerAreLeftOut) {
  response r = raw_response("x", "text/plain");
  r.header("X-Echo", "a\r\nSet-Cookie: stolen=1");
  r.header("Bad Name", "v");
  r.header("X-Nul", std::string("a\0b", 3));
  r.header("X-Lf", "a\nInjected: 1");
  r.header("X-\xc3\xa9", "v");  // bytes above 127 are no token characters
  r.header("X-Fine", "value with spaces");
  const std::string head = write_head(r, {});
  EXPECT_EQ(head.find("Injected"), std::string::npos);
  EXPECT_EQ(head.find("X-\xc3"), std::string::npos);
  EXPECT_EQ(head.find("stolen"), std::string::npos);
  EXPECT_EQ(head.find("Bad Name"), std::string::npos);
  EXPECT_EQ(head.find("X-Nul"), std::string::npos);
  EXPECT_NE(head.find("X-Fine: value with spaces\r\n"), std::string::npos);
  EXPECT_TRUE(head.ends_with("Content-Length: 1\r\n\r\n"));
}

// Ages are kept for answers to borrow, up to a bound; past it each answer owns its text.
TEST(ResponseHead, CacheControlAgesReadTheSameKeptOrNot) {
  for (long long age : {0LL, 1800LL, 86400LL, 1800LL}) EXPECT_EQ(public_max_age(age), "public, max-age=" + std::to_string(age));
  for (long long age = 100; age < 300; ++age) {
    response r = empty_response(200);
    r.header("Cache-Control", public_max_age(age));
    EXPECT_NE(write_head(r, {}).find("Cache-Control: public, max-age=" + std::to_string(age) + "\r\n"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace host::http
