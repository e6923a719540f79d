#include "host/helpers/responses.hpp"

namespace host::helpers {

nlohmann::ordered_json api_response(envelope_args args) {
  nlohmann::ordered_json envelope;
  envelope["status_code"] = args.status_code;
  envelope["message"] = args.message ? nlohmann::ordered_json(*args.message) : nlohmann::ordered_json();
  envelope["data"] = args.data ? std::move(*args.data) : nlohmann::ordered_json();
  return envelope;
}

http::response api_router_response(const nlohmann::ordered_json& envelope) {
  const auto status = envelope.value("status_code", 200);
  return http::json_response(envelope, static_cast<unsigned>(status));
}

}  // namespace host::helpers
