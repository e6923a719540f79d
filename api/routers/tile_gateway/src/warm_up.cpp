#include "mapsvc/tile_gateway/warm_up.hpp"

#include <memory>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "host/helpers/utils.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/tile_sql.hpp"
#include "tile_query.hpp"

namespace mapsvc::tile_gateway {
namespace {

// The zoom whose statement warms a layer: one of the busiest, or the nearest below it that the
// layer is served at.
constexpr std::int64_t WARM_ZOOM = 16;

struct warm_up_state {
  std::size_t left = 0;
  std::size_t warmed = 0;
  std::function<void(std::size_t)> done;
};

boost::asio::awaitable<void> warm_one(host::database::session db, std::shared_ptr<warm_up_state> state) {
  bool ok = true;
  try {
    for (const auto& [name, layer] : LAYER_CONFIG()) {
      for (std::int64_t z = WARM_ZOOM; z >= 0; --z) {
        const auto* statement = served_statement(name, z);
        if (!statement) continue;
        // The top-left tile of the zoom: the Arctic ocean at the antimeridian, empty in any cadastre.
        const auto bounds = host::helpers::bounds_of(static_cast<int>(z), 0, 0);
        const clients::pg::params params{
            {"min_x", bounds.minx}, {"min_y", bounds.miny}, {"max_x", bounds.maxx}, {"max_y", bounds.maxy}};
        co_await detail::fetch_tile(db, statement->first, params, std::chrono::seconds(10));
        break;
      }
    }
  } catch (const std::exception&) {
    ok = false;
  }
  co_await db.close();
  state->warmed += ok ? 1 : 0;
  if (--state->left == 0 && state->done) state->done(state->warmed);
}

}  // namespace

void warm_up(boost::asio::any_io_executor executor, std::function<host::database::session()> open_session,
             std::size_t connections, std::function<void(std::size_t warmed)> done) {
  if (connections == 0) {
    if (done) done(0);
    return;
  }
  auto state = std::make_shared<warm_up_state>(warm_up_state{connections, 0, std::move(done)});
  // All at once: each session takes its own connection with its first statement.
  for (std::size_t i = 0; i < connections; ++i)
    boost::asio::co_spawn(executor, warm_one(open_session(), state), boost::asio::detached);
}

}  // namespace mapsvc::tile_gateway
