#pragma once
// The JSON response envelope: {"status_code": N, "message": text-or-null, "data": value-or-null}.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "host/http/response.hpp"

namespace host::helpers {

struct envelope_args {
  std::optional<nlohmann::ordered_json> data{};
  std::optional<std::string> message{};
  int status_code = 200;
};

// Called with designated initialisers, e.g. api_response({.data = d, .message = m}).
nlohmann::ordered_json api_response(envelope_args args);

// The HTTP answer for an envelope: its status code and the envelope as the JSON body.
http::response api_router_response(const nlohmann::ordered_json& envelope);

}  // namespace host::helpers
