// GET /gis/changes
#include "changes_endpoint.hpp"

#include <charconv>

#include <fmt/format.h>

#include "host/http/app.hpp"
#include "host/http/errors.hpp"
#include "host/http/stream_writer.hpp"

namespace mapsvc::tile_gateway {
namespace {

// What browsers wait before they reconnect a stream that ended.
constexpr std::string_view RETRY_LINE = "retry: 2000\n";

std::optional<std::string_view> header_value(const host::http::request_context& ctx, std::string_view name) {
  const auto it = ctx.message.find(name);
  if (it == ctx.message.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

// The raw ?since= value, so that a present but empty one is refused rather than ignored.
std::optional<std::string> since_value(const host::http::request_context& ctx) {
  const std::string_view target(ctx.message.target().data(), ctx.message.target().size());
  const auto question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::optional<std::string> found;
  for (auto& [name, value] : host::http::parse_query(target.substr(question + 1)))
    if (name == "since") found = std::move(value);
  return found;
}

// Sends what the client has not seen, then each batch as it is published, with a comment
// whenever the stream has been quiet for `heartbeat`. Ends when a write is refused (the client
// left, or the server drains) or when cancelled.
boost::asio::awaitable<void> stream_changes(std::shared_ptr<change_hub::subscription> feed, std::int64_t cursor,
                                            bool resumed, std::chrono::milliseconds heartbeat,
                                            host::http::stream_writer& out) {
  std::string text(RETRY_LINE);
  // A fresh client gets its starting position as its last event id, so that a reconnect
  // before the first change still resumes from here.
  text += resumed ? "\n" : fmt::format("id: {}\n\n", cursor);
  for (;;) {
    if (auto batches = feed->since(cursor)) {
      for (const auto& batch : *batches) text += change_event_text(batch);
      if (!batches->empty()) cursor = batches->back().position;
    } else {
      // Batches after the cursor were let go (a client far behind, or one from before this
      // hub began): only a full reload is right.
      cursor = feed->last_position();
      text += reset_event_text(cursor);
    }
    if (!text.empty()) {
      if (!co_await out.write(text)) co_return;
      text.clear();
    }
    if (!co_await feed->wait(cursor, heartbeat)) text = ": keep-alive\n\n";
  }
}

}  // namespace

std::optional<std::int64_t> parse_event_position(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || text.front() == '-')
    return std::nullopt;
  return value;
}

std::string change_event_text(const change_batch& batch) {
  return fmt::format("id: {}\nevent: change\ndata: {}\n\n", batch.position, change_event_json(batch));
}

std::string reset_event_text(std::int64_t position) {
  return fmt::format("id: {0}\nevent: reset\ndata: {{\"position\":{0}}}\n\n", position);
}

boost::asio::awaitable<host::http::response> get_changes(tile_gateway_module& m, const host::http::request_context& ctx) {
  // A browser's reconnect carries Last-Event-ID, newer than the ?since= of the URL it opened.
  std::optional<std::int64_t> resume;
  if (const auto last_event_id = header_value(ctx, "Last-Event-ID")) {
    resume = parse_event_position(*last_event_id);
    if (!resume) throw host::http::http_error(400, "Last-Event-ID must be a non-negative integer of at most 19 digits");
  }
  if (const auto since = since_value(ctx)) {
    const auto position = parse_event_position(*since);
    if (!position) throw host::http::http_error(400, "since must be a non-negative integer of at most 19 digits");
    if (!resume) resume = position;
  }
  if (m.changes.subscribers() >= m.max_change_streams()) {
    auto busy = host::http::detail_response(503, "Too many change streams open on this worker; try again shortly");
    busy.header("Retry-After", "5");
    co_return busy;
  }

  // Counted from here, so that streams accepted meanwhile cannot pass the limit.
  auto feed = m.changes.subscribe(m.executor);
  const std::int64_t cursor = resume.value_or(feed->last_position());
  const bool resumed = resume.has_value();
  const auto heartbeat = m.change_heartbeat();
  auto answer = host::http::raw_response({}, "text/event-stream");
  answer.header("Cache-Control", "no-store");
  // nginx would otherwise hold the events back in its buffer.
  answer.header("X-Accel-Buffering", "no");
  answer.stream = [feed, cursor, resumed, heartbeat](host::http::stream_writer& out) {
    return stream_changes(feed, cursor, resumed, heartbeat, out);
  };
  co_return answer;
}

}  // namespace mapsvc::tile_gateway
