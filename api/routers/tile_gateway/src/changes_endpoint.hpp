#pragma once
// GET /gis/changes: the change feed as Server-Sent Events.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "host/http/response.hpp"
#include "host/http/router.hpp"
#include "mapsvc/tile_gateway/change_hub.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {

// A position a client resumes from (Last-Event-ID, ?since=): a non-negative integer of at
// most 19 digits that fits 64 bits; none otherwise.
std::optional<std::int64_t> parse_event_position(std::string_view text);

// The event of a batch: "id: N\nevent: change\ndata: {...}\n\n".
std::string change_event_text(const change_batch& batch);
// The event telling a client it missed changes and must reload everything from `position` on.
std::string reset_event_text(std::int64_t position);

// Opens a stream: 400 for a bad resume position, 503 with Retry-After beyond the worker's
// number of streams, else the stream, which runs until the client leaves or the server drains.
boost::asio::awaitable<host::http::response> get_changes(tile_gateway_module& m, const host::http::request_context& ctx);

}  // namespace mapsvc::tile_gateway
