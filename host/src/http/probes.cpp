#include "host/http/probes.hpp"

namespace host::http {

router probes_router(readiness_checks checks) {
  router r({}, {"Probes"});
  r.add({.path = "/livez", .name = "livez", .description = "Liveness: the process is up and serving."},
        [](request_context&) -> boost::asio::awaitable<response> {
          nlohmann::ordered_json body{{"status", "alive"}};
          co_return json_response(body);
        });
  auto shared = std::make_shared<readiness_checks>(std::move(checks));
  r.add({.path = "/readyz",
         .name = "readyz",
         .description = "Readiness: 503 while draining or when the database cannot be reached within a short "
                        "bound; Redis being down does not make the service unready."},
        [shared](request_context&) -> boost::asio::awaitable<response> {
          nlohmann::ordered_json body;
          if (shared->draining && shared->draining()) {
            body["status"] = "draining";
            auto r = json_response(body, 503);
            r.header("Cache-Control", "no-store");
            co_return r;
          }
          const bool database = shared->database_reachable ? co_await shared->database_reachable() : true;
          body["status"] = database ? "ready" : "unready";
          body["database"] = database ? "reachable" : "unreachable";
          auto r = json_response(body, database ? 200 : 503);
          r.header("Cache-Control", "no-store");
          co_return r;
        });
  return r;
}

}  // namespace host::http
