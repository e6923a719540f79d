// mapsvc: the map-serving and plan-printing service.
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <filesystem>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <sys/resource.h>

#include <algorithm>
#include <thread>

#include "host/config.hpp"
#include "host/database/get_db.hpp"
#include "host/helpers/logging.hpp"
#include "host/http/app.hpp"
#include "host/http/server.hpp"
#include "host/http/static_files.hpp"
#include "mapsvc/tile_gateway/module.hpp"
#include "plan_routes.hpp"

namespace {

spdlog::level::level_enum level_named(const std::string& name) {
  const auto level = spdlog::level::from_str(name == "warning" ? "warn" : name);
  if (level == spdlog::level::off && name != "off")
    throw std::invalid_argument("unknown log level '" + name + "' (debug, info, warning, error)");
  return level;
}

// Every connection is a descriptor: take the most the system allows this process, so that
// thousands of idle clients cannot lock out the rest at the default soft limit of 1024.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  host::config cfg;
  try {
    cfg = host::load_config(std::vector<std::string>(argv + 1, argv + argc), host::process_env, MAPSVC_DEFAULT_WEB_ROOT);
    if (cfg.help) {
      std::fputs(host::usage_text(argv[0]).c_str(), stdout);
      return 0;
    }
    host::helpers::set_log_level(level_named(cfg.log_level));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc: %s\n", e.what());
    return 2;
  }
  raise_descriptor_limit();
  auto log = host::helpers::get_logger("mapsvc");
  // The plan renderer logs through the logger of this name when one exists: give it the host's.
  host::helpers::get_logger("printsvc.plots");
  // Tile and plan statements are short but look expensive to the planner, which then spends
  // longer compiling them than running them. An operator's own PGOPTIONS wins.
  ::setenv("PGOPTIONS", "-c jit=off", 0);

  try {
    boost::asio::io_context io;
    host::http::app application("mapsvc", "0.1.0");

    host::database::pool_options pool_options;
    pool_options.conninfo = cfg.database_url;
    pool_options.size = static_cast<std::size_t>(cfg.db_pool_size);
    host::database::pool db_pool(io.get_executor(), pool_options);
    application.set_session_provider(
        {.open = [&db_pool] { return std::make_shared<host::database::session>(host::database::get_db(db_pool)); },
         .close = [](host::database::session& s) -> boost::asio::awaitable<void> { co_await s.close(); }});

    mapsvc::tile_gateway::tile_gateway_module* tiles = nullptr;
    try {
      tiles = &mapsvc::tile_gateway::load(io.get_executor());
    } catch (const std::invalid_argument& e) {
      // A bad REDIS_* setting: refuse to start, as for any other bad setting.
      std::fprintf(stderr, "mapsvc: %s\n", e.what());
      return 2;
    }
    application.mount(tiles->tileGateway);

    // Plans are parsed and drawn off the event loop, one render per core at a time, with a
    // few more waiting; beyond that a render is refused (503) rather than queued unbounded.
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    mapsvc::plans::render_queue renderers({.workers = cores, .max_waiting = 4 * cores});
    application.mount(mapsvc::plans::plan_router(renderers));

    if (!cfg.web_root.empty() && std::filesystem::is_directory(cfg.web_root))
      application.mount(host::http::static_files_router(cfg.web_root));
    application.mount(host::http::api_description_router(application));

    host::http::server_options options;
    options.host = cfg.host;
    options.port = cfg.port;
    options.max_connections = static_cast<std::size_t>(cfg.max_connections);
    host::http::server server(io, application, options);
    server.start();
    log->info("Listening on http://{}:{}/", cfg.host, server.port());

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int signal) {
      if (ec) return;
      log->info("Received signal {}: finishing requests in flight", signal);
      server.shutdown([&] { io.stop(); });
    });
    io.run();
    log->info("Stopped");
    return 0;
  } catch (const std::exception& e) {
    log->critical("mapsvc failed: {}", e.what());
    return 1;
  }
}
