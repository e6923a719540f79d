#pragma once
// Liveness and readiness for load balancers and orchestrators.
//
// GET /livez: the process runs its event loop (always 200 while it answers at all).
// GET /readyz: 200 when this worker should be sent requests; 503 while it drains, or when the
// database did not answer a probe within a short bound. Redis does not count: tiles still come
// from the database without it.

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "host/http/router.hpp"

namespace host::http {

struct readiness_checks {
  std::function<bool()> draining;
  // Whether the database answers now; expected to bound its own wait.
  std::function<boost::asio::awaitable<bool>()> database_reachable;
};

router probes_router(readiness_checks checks);

}  // namespace host::http
