#include "host/metrics/route.hpp"

#include <memory>

namespace host::metrics {

http::router metrics_router(const http::app& application, const shared_region& region, std::vector<std::string> layers) {
  http::router r({}, {"Monitoring"});
  auto layer_names = std::make_shared<const std::vector<std::string>>(std::move(layers));
  r.add({.path = "/metrics",
         .name = "metrics",
         .description = "Prometheus metrics of all worker processes together (text exposition format 0.0.4).",
         .media_type = "text/plain; version=0.0.4",
         .who = http::access::metrics},
        [&application, &region, layer_names](http::request_context&) -> boost::asio::awaitable<http::response> {
          std::vector<std::string> routes;
          routes.reserve(application.routes().size());
          for (const auto& rt : application.routes()) routes.push_back(rt.full_path.text());
          const labels names{routes, *layer_names};
          auto answer = http::raw_response(scrape(region, names), "text/plain; version=0.0.4; charset=utf-8");
          answer.header("Cache-Control", "no-store");
          co_return answer;
        });
  return r;
}

}  // namespace host::metrics
