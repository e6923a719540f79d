#include "host/http/server.hpp"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <tuple>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>

#include "host/cancellation.hpp"
#include "host/helpers/logging.hpp"
#include "host/http/framing.hpp"
#include "host/http/request_head.hpp"
#include "host/http/response_head.hpp"
#include "host/http/stream_writer.hpp"
#include "send_file.hpp"

namespace host::http {
// g++ 12 takes the frames Asio allocates and frees for coroutines for a mismatched new and
// delete once the gathered write below is inlined into serve() (GCC bug 109224, a false
// positive; clang and the sanitizers see nothing).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

// What goes on the wire for an answer: its head, then its payload by reference (the bytes
// stay in `r`, or in the shared entity it holds, until the write has finished). Written with
// one gathered write.
struct wire_answer {
  std::string head;
  std::string_view payload;
  std::array<asio::const_buffer, 2> buffers() const { return {asio::buffer(head), asio::buffer(payload)}; }
};

bool carries_payload(const response& r, const head_options& options) {
  return !options.head && !is_bodiless(r.status) && !r.stream;
}

wire_answer to_wire(const response& r, const head_options& options) {
  return {write_head(r, options), carries_payload(r, options) ? r.payload() : std::string_view()};
}

// The file the kernel can send the payload from, for a shared body kept in one.
std::optional<file_range> payload_file(const response& r, const head_options& options) {
  if (!r.entity || !carries_payload(r, options)) return std::nullopt;
  return r.entity->file(r.gzip);
}

// Writes a streamed body straight to the socket: the stream's own timers are not used, since
// they cannot time a write while the peer watch keeps a read open.
class socket_writer final : public stream_writer {
 public:
  socket_writer(tcp::socket& socket, std::chrono::milliseconds timeout, bool chunked, const bool& draining)
      : socket_(socket), timeout_(timeout), chunked_(chunked), draining_(draining) {}

  asio::awaitable<bool> write(std::string_view bytes) override {
    using namespace asio::experimental::awaitable_operators;
    if (failed_ || draining_) co_return false;
    if (bytes.empty()) co_return true;  // an empty chunk would end the body
    char size_line[24];
    const auto size_end = fmt::format_to(size_line, "{:x}\r\n", bytes.size());
    std::array<asio::const_buffer, 3> buffers{
        asio::buffer(size_line, static_cast<std::size_t>(size_end - size_line)), asio::buffer(bytes),
        asio::buffer("\r\n", 2)};
    if (!chunked_) buffers = {asio::buffer(bytes), asio::const_buffer(), asio::const_buffer()};
    asio::steady_timer deadline(socket_.get_executor(), timeout_);
    // A client that stops reading is dropped once the write time-out passes.
    auto outcome = co_await (asio::async_write(socket_, buffers, nothrow) || deadline.async_wait(nothrow));
    if (outcome.index() != 0 || std::get<0>(std::get<0>(outcome))) {
      failed_ = true;
      co_return false;
    }
    co_return !draining_;
  }

  // A write failed or timed out: the body is cut and the connection cannot go on.
  bool failed() const { return failed_; }

 private:
  tcp::socket& socket_;
  std::chrono::milliseconds timeout_;
  bool chunked_;
  const bool& draining_;
  bool failed_ = false;
};

// Reads until the parser has a request's head, parsing what the buffer holds first: a request
// that arrived whole (nearly all do) costs no further trip through the event loop. Leaves any
// bytes after the head (a body, the next request) in the buffer.
asio::awaitable<beast::error_code> read_head(tcp::socket& socket, beast::flat_buffer& buffer,
                                             http_request_parser& parser) {
  for (;;) {
    if (buffer.size() > 0) {
      beast::error_code ec;
      const auto used = parser.put(buffer.data(), ec);
      buffer.consume(used);
      if (!ec && parser.is_header_done()) co_return ec;
      if (ec && ec != bhttp::error::need_more) co_return ec;
      if (!ec && used > 0) continue;
    }
    auto [ec, n] = co_await socket.async_read_some(buffer.prepare(4096), nothrow);
    buffer.commit(n);
    if (ec == asio::error::eof) {
      // The stream ended between requests, or in the middle of a head.
      if (!parser.got_some()) co_return bhttp::error::end_of_stream;
      beast::error_code eof_ec;
      parser.put_eof(eof_ec);
      co_return eof_ec ? eof_ec : beast::error_code(bhttp::error::partial_message);
    }
    if (ec) co_return ec;
  }
}

// The answer to a request the parser refused, or none when the connection just closes.
std::optional<response> refusal_for(const beast::error_code& ec) {
  if (ec == bhttp::error::header_limit) return detail_response(431, "Request header fields too large");
  if (ec == bhttp::error::body_limit) return detail_response(413, "Request body too large");
  if (ec.category() == beast::error_code(bhttp::error::bad_method).category() && ec != bhttp::error::end_of_stream &&
      ec != bhttp::error::partial_message)
    return detail_response(400, "Bad request");
  return std::nullopt;
}

}  // namespace

struct server::connection {
  explicit connection(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  // When the read or write in progress must have ended; the server's sweep cancels it after.
  // One clock read per step instead of a timer started and stopped per read and write.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  void expires_after(std::chrono::milliseconds limit) { deadline = std::chrono::steady_clock::now() + limit; }
  void expires_never() { deadline = std::chrono::steady_clock::time_point::max(); }
  asio::cancellation_signal cancel;
  bool busy = false;
  bool streaming = false;  // sending a streamed body
};

int open_listener(const std::string& host, unsigned short port) {
  asio::io_context scratch;
  tcp::acceptor acceptor(scratch);
  const tcp::endpoint endpoint(asio::ip::make_address(host), port);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
  return acceptor.release();
}

unsigned short local_port(int listen_fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

server::server(asio::io_context& io, const app& application, server_options options)
    : io_(io), app_(application), options_(std::move(options)), acceptor_(io), grace_timer_(io), sweep_timer_(io) {}

server::~server() { *alive_ = false; }

void server::start() {
  // sendfile has no MSG_NOSIGNAL: a client gone mid-body must be an error, not the end of
  // the process.
  ::signal(SIGPIPE, SIG_IGN);
  if (options_.listen_fd) {
    // The supervisor's socket: its family decides the protocol.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(*options_.listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
    acceptor_.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), *options_.listen_fd);
  } else {
    const tcp::endpoint endpoint(asio::ip::make_address(options_.host), options_.port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
  }
  bound_port_ = acceptor_.local_endpoint().port();
  asio::co_spawn(io_, accept_loop(), asio::detached);
  sweep();
}

asio::awaitable<void> server::accept_loop() {
  auto alive = alive_;
  while (*alive && !draining_) {
    auto [ec, socket] = co_await acceptor_.async_accept(nothrow);
    if (!*alive || draining_) break;
    if (ec) {
      if (ec == asio::error::operation_aborted) break;
      // Out of descriptors and similar: back off briefly instead of spinning.
      asio::steady_timer pause(io_, std::chrono::milliseconds(50));
      co_await pause.async_wait(nothrow);
      continue;
    }
    if (connections_.size() >= options_.max_connections) {
      beast::error_code ignored;
      socket.close(ignored);
      if (const auto now = std::chrono::steady_clock::now(); now - last_refusal_log_ > std::chrono::seconds(10)) {
        last_refusal_log_ = now;
        helpers::get_logger("host.http")
            ->warn("Refusing connections: {} are open, the most allowed", options_.max_connections);
      }
      continue;
    }
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const auto it = connections_.emplace(connections_.begin(), std::move(socket));
    // The connection lives in the list until its coroutine has ended, so the signal the
    // coroutine is bound to outlives it.
    asio::co_spawn(io_, serve(*it),
                   asio::bind_cancellation_slot(it->cancel.slot(), [this, it, alive](std::exception_ptr) {
                     if (*alive) connection_closed(it);
                   }));
  }
}

asio::awaitable<void> server::serve(connection& conn) {
  beast::error_code ignored;
  beast::flat_buffer buffer;
  // Requests answered one after another without waiting: a client that pipelines many gives
  // the other connections their turn now and then.
  constexpr int PIPELINED_TURN = 16;
  int answered_without_waiting = 0;
  std::string head;  // each answer's head, in one buffer for the connection's life
  request_memory memory;  // each request's start line and fields

  while (!draining_) {
    if (buffer.size() == 0) {
      // Idle between requests: wait for the first byte of the next one.
      conn.busy = false;
      conn.expires_after(options_.idle_timeout);
      auto [ec, n] = co_await conn.socket.async_read_some(buffer.prepare(4096), nothrow);
      if (ec || draining_) break;
      buffer.commit(n);
      answered_without_waiting = 0;
    } else if (++answered_without_waiting == PIPELINED_TURN) {
      answered_without_waiting = 0;
      co_await asio::post(conn.socket.get_executor(), asio::use_awaitable);
      if (draining_) break;
    }
    conn.busy = true;
    const auto started = std::chrono::steady_clock::now();

    const auto lease = memory.lend();  // ends after the parser and the answer: declared first
    http_request_parser parser(std::piecewise_construct, std::tuple<>(), std::make_tuple(lease.allocator()));
    parser.header_limit(static_cast<std::uint32_t>(options_.header_limit));
    parser.body_limit(options_.body_limit);
    conn.deadline = started + options_.request_timeout;
    // The header first: its framing decides whether the bytes after it are a body at all.
    const beast::error_code header_ec = co_await read_head(conn.socket, buffer, parser);
    std::optional<response> refusal;
    bool counted = false;  // the app has already counted and logged the refusal
    beast::error_code read_ec = header_ec;
    if (!read_ec) refusal = framing_refusal(parser.get());
    if (!read_ec && !refusal) refusal = settle_host(parser.get());
    if (!read_ec && !refusal) {
      const auto& header = parser.get();
      const std::string_view target(header.target().data(), header.target().size());
      // Most requests have no body: their route need not be looked up for its limit.
      const bool has_body = parser.chunked() || parser.content_length().value_or(0) > 0;
      const auto limit =
          has_body && app_.reads_body(header.method(), target) ? options_.body_limit : options_.small_body_limit;
      // The parser checks a declared length against its limit while reading the header, so
      // a limit chosen by route is checked here; it still bounds chunked bodies as they come.
      if (const auto declared = parser.content_length(); declared && *declared > limit)
        refusal = detail_response(413, "Request body too large");
      parser.body_limit(limit);
    }
    if (!read_ec && !refusal) {
      const auto expects = expectation_of(parser.get());
      if (expects == expectation::unmet) refusal = detail_response(417, "Only 100-continue can be expected");
      const bool body_follows = parser.chunked() || parser.content_length().value_or(0) > 0;
      // The client waits for a word before sending its body (HTTP/1.0 has no interim answers;
      // one that sent its body anyway needs none).
      if (expects == expectation::continue_100 && body_follows && parser.get().version() >= 11 &&
          buffer.size() == 0) {
        refusal = app_.refuse_before_body(parser.get());
        counted = refusal.has_value();
        if (!refusal) {
          conn.expires_after(options_.write_timeout);
          auto [continue_ec, continue_n] =
              co_await asio::async_write(conn.socket, asio::buffer(CONTINUE.data(), CONTINUE.size()), nothrow);
          if (continue_ec) break;
          conn.deadline = started + options_.request_timeout;
        }
      }
    }
    if (!read_ec && !refusal && !parser.is_done()) {
      auto [body_ec, body_n] = co_await bhttp::async_read(conn.socket, buffer, parser, nothrow);
      read_ec = body_ec;
    }
    if (read_ec && !refusal) refusal = refusal_for(read_ec);
    if (read_ec || refusal) {
      // The rest of the stream cannot be framed reliably: answer, then close.
      if (refusal) {
        const auto took = std::chrono::steady_clock::now() - started;
        if (!counted) app_.refused(header_ec ? nullptr : &parser.get(), *refusal, took);
        conn.expires_after(options_.write_timeout);
        const head_options once{.version = 11, .keep_alive = false};
        const wire_answer wire = to_wire(*refusal, once);
        const auto buffers = wire.buffers();
        auto [refusal_ec, refusal_n] = co_await asio::async_write(conn.socket, buffers, nothrow);
        if (!refusal_ec) co_await linger(conn, buffer);
      }
      break;
    }

    conn.expires_never();  // the handler bounds its own time
    auto& req = parser.get();
    response answer;
    try {
      answer = co_await app_.dispatch(req);
    } catch (const std::exception& e) {
      // Cancelled at the end of the shutdown grace: the connection ends without an answer.
      if (is_cancellation(e)) break;
      helpers::get_logger("host.http")->error("Request failed outside its handler: {}", e.what());
      answer = detail_response(500, "Internal Server Error");
    }

    const bool keep_alive = req.keep_alive() && !draining_;
    head_options framing{.version = req.version() == 10 ? 10u : 11u,
                         .keep_alive = keep_alive,
                         .head = req.method() == bhttp::verb::head};
    const bool streamed = answer.stream && !framing.head && !is_bodiless(answer.status);
    // HTTP/1.0 has no chunks: a streamed body ends with the connection.
    const bool chunked = framing.version == 11;
    if (streamed && !chunked) framing.keep_alive = false;
    if (const auto file = payload_file(answer, framing)) {
      write_head(answer, framing, head);
      if (!co_await send_head_and_file(conn.socket, head, *file, options_.write_timeout)) break;
    } else {
      conn.expires_after(options_.write_timeout);
      write_head(answer, framing, head);
      const auto payload = carries_payload(answer, framing) ? answer.payload() : std::string_view();
      if (!co_await send_head_and_payload(conn.socket, head, payload, options_.write_timeout)) break;
    }
    if (streamed) {
      conn.expires_never();  // the writer times each write itself; the peer watch reads without end
      const auto end = co_await stream_body(conn, buffer, answer.stream, chunked);
      if (end == stream_end::lost) break;
      if (chunked) {
        conn.expires_after(options_.write_timeout);
        auto [last_ec, last_n] = co_await asio::async_write(conn.socket, asio::buffer("0\r\n\r\n", 5), nothrow);
        if (last_ec) break;
      }
      if (end == stream_end::drained) break;
    }
    if (!framing.keep_alive) break;
  }

  conn.expires_never();
  conn.socket.shutdown(tcp::socket::shutdown_send, ignored);
  conn.socket.close(ignored);
}

asio::awaitable<void> server::linger(connection& conn, beast::flat_buffer& buffer) {
  // The client may still be sending what was refused. Closing with unread bytes resets the
  // connection, which can destroy the answer before the client has read it: say we are done,
  // then read and drop what comes, briefly.
  beast::error_code ignored;
  conn.socket.shutdown(tcp::socket::shutdown_send, ignored);
  conn.expires_after(options_.linger_time);
  std::size_t dropped = 0;
  while (dropped < options_.linger_bytes && !draining_) {
    buffer.consume(buffer.size());
    auto [ec, n] = co_await conn.socket.async_read_some(buffer.prepare(16 * 1024), nothrow);
    if (ec) break;
    dropped += n;
  }
}

asio::awaitable<server::stream_end> server::stream_body(connection& conn, beast::flat_buffer& buffer,
                                                       const body_producer& produce, bool chunked) {
  using namespace asio::experimental::awaitable_operators;
  socket_writer writer(conn.socket, options_.write_timeout, chunked, draining_);
  conn.streaming = true;
  std::size_t first_done = 0;
  try {
    // Whichever ends first ends the other: the producer returning, or the client leaving
    // (or the drain, which the watch notices).
    const auto done = co_await (produce(writer) || watch_peer(conn, buffer));
    first_done = done.index();
  } catch (const std::exception& e) {
    conn.streaming = false;
    if (is_cancellation(e)) throw;
    helpers::get_logger("host.http")->error("A streamed answer failed: {}", e.what());
    co_return stream_end::lost;
  }
  conn.streaming = false;
  if (writer.failed()) co_return stream_end::lost;
  if (draining_) co_return stream_end::drained;
  co_return first_done == 0 ? stream_end::finished : stream_end::lost;
}

asio::awaitable<void> server::watch_peer(connection& conn, beast::flat_buffer& buffer) {
  // A client says nothing more during a stream; its end (or an error) is how a stream learns
  // the client has gone. Bytes it does send are kept for the next request, within the header
  // limit.
  while (!draining_ && buffer.size() < options_.header_limit) {
    auto [ec, n] = co_await conn.socket.async_read_some(buffer.prepare(4096), nothrow);
    if (ec) break;
    buffer.commit(n);
  }
}

std::chrono::milliseconds server::sweep_period() const {
  // A quarter of the shortest time-out, so that none is overrun by more than that.
  const auto shortest = std::min({options_.idle_timeout, options_.request_timeout, options_.write_timeout,
                                  options_.linger_time});
  return std::clamp(shortest / 4, std::chrono::milliseconds(5), std::chrono::milliseconds(250));
}

void server::sweep() {
  sweep_timer_.expires_after(sweep_period());
  sweep_timer_.async_wait([this, alive = alive_](beast::error_code ec) {
    if (ec || !*alive || stopped_) return;
    const auto now = std::chrono::steady_clock::now();
    beast::error_code ignored;
    // Cancelled again at every pass until the overdue read or write has ended.
    for (auto& c : connections_)
      if (c.deadline <= now) c.socket.cancel(ignored);
    sweep();
  });
}

void server::connection_closed(connection_list::iterator it) {
  connections_.erase(it);
  if (draining_ && connections_.empty()) finish_shutdown();
}

void server::cancel_all(bool busy_too) {
  beast::error_code ignored;
  for (auto& c : connections_) {
    if (!busy_too && c.streaming) {
      // A stream has no end of its own: it ends now, with its last chunk, rather than hold
      // up the drain. Cancelling the peer watch's read is enough for it to notice.
      c.socket.cancel(ignored);
      continue;
    }
    if (!busy_too && c.busy) continue;
    c.cancel.emit(asio::cancellation_type::terminal);
    c.socket.cancel(ignored);  // a read or write in progress, whatever it supports
  }
}

void server::shutdown(std::function<void()> on_stopped) {
  if (draining_) return;
  draining_ = true;
  on_stopped_ = std::move(on_stopped);
  beast::error_code ignored;
  acceptor_.close(ignored);
  cancel_all(false);
  if (connections_.empty()) {
    // Let the accept loop see the closed acceptor before reporting the stop.
    asio::post(io_, [this, alive = alive_] {
      if (*alive) finish_shutdown();
    });
    return;
  }
  grace_timer_.expires_after(options_.shutdown_grace);
  grace_timer_.async_wait([this, alive = alive_](beast::error_code ec) {
    if (ec || !*alive) return;
    if (!connections_.empty())
      helpers::get_logger("host.http")
          ->warn("Cancelling {} requests still running after the shutdown grace", connections_.size());
    cancel_all(true);
    grace_timer_.expires_after(options_.cancel_grace);
    grace_timer_.async_wait([this, alive](beast::error_code ec2) {
      if (!ec2 && *alive) finish_shutdown();
    });
  });
}

void server::finish_shutdown() {
  grace_timer_.cancel();
  stopped_ = true;
  sweep_timer_.cancel();
  if (auto done = std::exchange(on_stopped_, nullptr)) done();
}

}  // namespace host::http
