// Command formatting and reply parsing, byte for byte, without a server.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "clients/redis/errors.hpp"
#include "wire.hpp"

namespace redis = clients::redis;
using namespace std::string_literals;
using namespace std::string_view_literals;
using redis::reply;
using redis::reply_type;

namespace {

std::string formatted(std::vector<std::string_view> args) {
  const auto command = redis::detail::format_command(args);
  return std::string(command.data(), command.size());
}

reply str(reply_type t, std::string s) { return reply{t, std::move(s), 0, {}}; }
reply integer(std::int64_t v) { return reply{reply_type::integer, {}, v, {}}; }
reply array(std::vector<reply> e) { return reply{reply_type::array, {}, 0, std::move(e)}; }

// Every reply type, nesting, empty and nil values, and payloads that look like protocol.
const std::string stream =
    "+OK\r\n"
    "-ERR unknown command\r\n"
    ":-42\r\n"
    "$-1\r\n"
    "$0\r\n\r\n"
    "$6\r\na\0\r\n$1\r\n"s
    "*-1\r\n"
    "*0\r\n"
    "*2\r\n$1\r\n0\r\n*3\r\n$2\r\nk1\r\n*1\r\n:7\r\n$-1\r\n";

const std::vector<reply> expected{
    str(reply_type::status, "OK"),
    str(reply_type::error, "ERR unknown command"),
    integer(-42),
    reply{},
    str(reply_type::string, ""),
    str(reply_type::string, "a\0\r\n$1"s),
    reply{},
    array({}),
    array({str(reply_type::string, "0"),
           array({str(reply_type::string, "k1"), array({integer(7)}), reply{}})}),
};

std::vector<reply> parse_in_chunks(const std::string& bytes, std::size_t chunk) {
  redis::detail::reply_parser parser;
  std::vector<reply> out;
  for (std::size_t pos = 0; pos < bytes.size(); pos += chunk) {
    parser.feed(bytes.data() + pos, std::min(chunk, bytes.size() - pos));
    while (auto r = parser.next()) out.push_back(std::move(*r));
  }
  return out;
}

}  // namespace

TEST(FormatCommand, KeepsEveryByteOfEveryArgument) {
  EXPECT_EQ(formatted({"GET", "a\0b"sv}), "*2\r\n$3\r\nGET\r\n$3\r\na\0b\r\n"s);
  EXPECT_EQ(formatted({"SET", "k", ""}), "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$0\r\n\r\n");
  EXPECT_EQ(formatted({"SET", "k", "\r\n*1\r\n"}), "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$6\r\n\r\n*1\r\n\r\n");
  EXPECT_THROW(formatted({}), std::invalid_argument);
}

class ReplyParser : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReplyParser, YieldsTheSameRepliesWhateverTheReadSizes) {
  EXPECT_EQ(parse_in_chunks(stream, GetParam()), expected);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, ReplyParser, ::testing::Values(1, 2, 3, 7, 64, 4096));

TEST(ReplyParserErrors, AnIncompleteReplyWaitsAndANonProtocolStreamIsAConnectionError) {
  redis::detail::reply_parser parser;
  parser.feed("$5\r\nab", 6);
  EXPECT_FALSE(parser.next().has_value());
  const std::string rest = "cde\r\nHTTP/1.1 400\r\n";
  parser.feed(rest.data(), rest.size());
  EXPECT_EQ(parser.next(), str(reply_type::string, "abcde"));
  EXPECT_THROW(parser.next(), redis::connection_error);
}

// A dozen bytes announcing a huge array must not reserve memory for it: the elements may
// never come, and a peer that is not Redis could send anything.
TEST(ReplyParserErrors, AHugeAnnouncedArrayCostsOnlyWhatArrives) {
  redis::detail::reply_parser parser;
  const std::string header = "*1922375806\r\n:1\r\n:2\r\n";
  parser.feed(header.data(), header.size());
  EXPECT_FALSE(parser.next().has_value());

  redis::detail::reply_parser small;
  const std::string whole = "*3\r\n:1\r\n*2\r\n$1\r\na\r\n$0\r\n\r\n:3\r\n";
  small.feed(whole.data(), whole.size());
  EXPECT_EQ(small.next(), array({integer(1), array({str(reply_type::string, "a"), str(reply_type::string, "")}), integer(3)}));
}
