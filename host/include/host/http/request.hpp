#pragma once
// The request as the server reads it. Its start line and fields live in memory the connection
// lends for one request at a time (`request_memory`): parsing a head then costs no trip to the
// heap, however many fields it has. A request made without that memory (a test, a copy) uses
// the heap as usual.

#include <cstddef>
#include <memory_resource>

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace host::http {

using request_allocator = std::pmr::polymorphic_allocator<char>;
using request_fields = boost::beast::http::basic_fields<request_allocator>;
using http_request = boost::beast::http::request<boost::beast::http::string_body, request_fields>;
using http_request_header = boost::beast::http::request_header<request_fields>;
using http_request_parser = boost::beast::http::request_parser<boost::beast::http::string_body, request_allocator>;

// The memory a connection lends to the request it is reading, one request at a time: what a
// request took is given back when its lease ends, which must be after the request and
// everything that points into it are gone (declare the lease before them). The head is bounded
// by the server's header limit, so a request takes at most a few times that; the inline part
// covers an ordinary head, and an idle connection holds nothing beyond it.
class request_memory {
 public:
  class lease {
   public:
    explicit lease(request_memory& memory) noexcept : memory_(memory) {}
    lease(const lease&) = delete;
    lease& operator=(const lease&) = delete;
    ~lease() { memory_.arena_.release(); }
    request_allocator allocator() const noexcept { return request_allocator(&memory_.arena_); }

   private:
    request_memory& memory_;
  };

  request_memory() = default;
  request_memory(const request_memory&) = delete;
  request_memory& operator=(const request_memory&) = delete;

  [[nodiscard]] lease lend() noexcept { return lease(*this); }

 private:
  static constexpr std::size_t INLINE_BYTES = 1536;
  alignas(std::max_align_t) std::byte inline_[INLINE_BYTES];
  std::pmr::monotonic_buffer_resource arena_{inline_, INLINE_BYTES, std::pmr::new_delete_resource()};
};

}  // namespace host::http
