#pragma once
// Survey plans over HTTP: from posted records, from the database by plot id, and the
// recommended scale on its own. Parsing and rendering run on the render queue, never on the
// event loop; a full queue answers 503 with Retry-After.

#include "host/http/router.hpp"
#include "render_queue.hpp"

namespace mapsvc::plans {

host::http::router plan_router(render_queue& renderers);

}  // namespace mapsvc::plans
