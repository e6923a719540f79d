// Bytes from a Redis server, fed to the reply parser in chunks of random sizes as the socket
// would deliver them. The first byte seeds the chunk sizes; the rest is the stream. Besides
// crashes, a finding is a parse that depends on the chunking: the replies, and whether and
// after which reply the stream is refused, must be those of the same bytes fed at once.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "clients/redis/errors.hpp"
#include "wire.hpp"

namespace {
namespace redis = clients::redis;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

struct outcome {
  std::vector<redis::reply> replies;
  bool refused = false;
};

// `next_chunk` gives the size of each feed (at least 1).
template <class NextChunk>
outcome parse(std::string_view stream, NextChunk next_chunk) {
  outcome out;
  redis::detail::reply_parser parser;
  try {
    while (!stream.empty()) {
      const std::size_t n = std::min(stream.size(), next_chunk());
      parser.feed(stream.data(), n);
      stream.remove_prefix(n);
      while (auto r = parser.next()) out.replies.push_back(std::move(*r));
    }
  } catch (const redis::connection_error&) {
    out.refused = true;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  const outcome whole = parse(stream, [&] { return stream.size(); });

  // Mostly small chunks, now and then a large one, as reads of a socket come.
  std::uint32_t state = 0x9e3779b9u ^ data[0];
  const auto next_chunk = [&]() -> std::size_t {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return (state & 7) == 0 ? 1 + state % 4096 : 1 + (state >> 8) % 16;
  };
  const outcome chunked = parse(stream, next_chunk);

  if (whole.refused != chunked.refused) finding("refusal depends on the chunking");
  if (whole.replies != chunked.replies) finding("replies depend on the chunking");
  return 0;
}
