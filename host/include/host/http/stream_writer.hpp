#pragma once
// The sending side of a streamed answer (Server-Sent Events and the like): a handler's body
// producer writes through it after the server has sent the head.

#include <string_view>

#include <boost/asio/awaitable.hpp>

namespace host::http {

class stream_writer {
 public:
  virtual ~stream_writer() = default;

  // Sends `bytes` at once (one chunk on HTTP/1.1), within the server's write time-out.
  // False when the answer cannot go on: the client went away or stopped reading, or the
  // server is draining; the producer should then return. Empty `bytes` send nothing.
  virtual boost::asio::awaitable<bool> write(std::string_view bytes) = 0;
};

}  // namespace host::http
