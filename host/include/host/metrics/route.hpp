#pragma once
// GET /metrics: the Prometheus text exposition of every worker's figures together.

#include <string>
#include <vector>

#include "host/http/app.hpp"
#include "host/metrics/shared_metrics.hpp"

namespace host::metrics {

// Route labels are the templates of `application`'s routes (read at scrape time, when all are
// mounted); `layers` names the tile layers by their index.
http::router metrics_router(const http::app& application, const shared_region& region, std::vector<std::string> layers);

}  // namespace host::metrics
