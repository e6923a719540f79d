#include "host/metrics/route.hpp"

#include "host/metrics/host_metrics.hpp"

namespace host::metrics {

http::router metrics_router(const http::app& application, const shared_region& region) {
  http::router r({}, {"Monitoring"});
  r.add({.path = "/metrics",
         .name = "metrics",
         .description = "Prometheus metrics of all worker processes together (text exposition format 0.0.4).",
         .media_type = "text/plain; version=0.0.4",
         .who = http::access::metrics},
        [&application, &region](http::request_context&) -> boost::asio::awaitable<http::response> {
          std::vector<std::string> routes;
          routes.reserve(application.routes().size());
          for (const auto& rt : application.routes()) routes.push_back(rt.full_path.text());
          auto answer = http::raw_response(scrape(region, {{"route", route_label_values(std::move(routes))}}),
                                           "text/plain; version=0.0.4; charset=utf-8");
          answer.header("Cache-Control", "no-store");
          co_return answer;
        });
  return r;
}

}  // namespace host::metrics
