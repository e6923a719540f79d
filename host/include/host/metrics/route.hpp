#pragma once
// GET /metrics: the Prometheus text exposition of every worker's figures together.

#include "host/http/app.hpp"
#include "host/metrics/shared_metrics.hpp"

namespace host::metrics {

// Route labels are the templates of `application`'s routes (read at scrape time, when all are
// mounted).
http::router metrics_router(const http::app& application, const shared_region& region);

}  // namespace host::metrics
