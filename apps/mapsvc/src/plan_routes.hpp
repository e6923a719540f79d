#pragma once
// Survey plans over HTTP: from posted records, from the database by plot id, and the
// recommended scale on its own. Rendering runs on a worker pool, never on the event loop.

#include <boost/asio/thread_pool.hpp>

#include "host/http/router.hpp"

namespace mapsvc::plans {

host::http::router plan_router(boost::asio::thread_pool& renderers);

}  // namespace mapsvc::plans
