// mapsvc: the map-serving and plan-printing service.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "host/config.hpp"
#include "host/database/get_db.hpp"
#include "host/database/probe.hpp"
#include "host/helpers/logging.hpp"
#include "host/http/app.hpp"
#include "host/http/probes.hpp"
#include "host/http/server.hpp"
#include "host/http/static_files.hpp"
#include "host/metrics/route.hpp"
#include "host/metrics/host_metrics.hpp"
#include "host/metrics/shared_metrics.hpp"
#include "mapsvc/tile_gateway/change_feed.hpp"
#include "mapsvc/tile_gateway/module.hpp"
#include "mapsvc/tile_gateway/warm_up.hpp"
#include "install_change_feed.hpp"
#include "plan_routes.hpp"
#include "supervisor.hpp"

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

std::size_t cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// The pool's figures change with every request; a scrape reads what was published here at
// most half a second ago, which keeps the pool free of metrics code.
boost::asio::awaitable<void> publish_pool_figures(const host::database::pool& db_pool, host::metrics::recorder& metrics) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
  for (;;) {
    const auto s = db_pool.stats();
    metrics.pool(s.open, s.open - s.idle, s.waiting, s.waits, s.waited);
    timer.expires_after(std::chrono::milliseconds(500));
    const auto [ec] = co_await timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    if (ec) co_return;
  }
}

// Every family the workers count, declared before they are forked: each part of the service
// declares its own.
struct service_metrics {
  host::metrics::host_families host;
  mapsvc::tile_gateway::tile_metrics tiles;
  host::metrics::histogram_family plan_renders;
};

service_metrics declare_service_metrics(host::metrics::registry& families) {
  return {host::metrics::declare_host_metrics(families),
          mapsvc::tile_gateway::declare_tile_metrics(families, mapsvc::tile_gateway::LAYER_CONFIG()),
          mapsvc::plans::declare_render_metrics(families)};
}

// One worker: an event loop with its own database pool, tile module, Redis connection and
// plan renderers, serving on `listener` when given (else binding host:port itself).
int serve(const host::config& cfg, const mapsvc::tile_gateway::redis_settings& redis, std::optional<int> listener,
          std::size_t render_threads, const service_metrics& families, host::metrics::shared_region& metrics_region,
          std::size_t worker_index) {
  auto log = host::helpers::get_logger("mapsvc");
  try {
    boost::asio::io_context io;
    // SIGHUP (log rotation, a service manager's reload) reopens the log and nothing else; one
    // that comes during the start waits for the event loop. When the set goes, its signal's
    // action reverts to the default, which would end the process.
    struct keep_ignoring_hangups {
      ~keep_ignoring_hangups() { std::signal(SIGHUP, SIG_IGN); }
    } keep_ignoring;
    boost::asio::signal_set hangups(io, SIGHUP);
    std::function<void(const boost::system::error_code&, int)> on_hangup = [&](const boost::system::error_code& ec,
                                                                               int) {
      if (ec) return;
      host::helpers::reopen_log();
      hangups.async_wait(on_hangup);
    };
    hangups.async_wait(on_hangup);

    host::http::app application("mapsvc", "0.1.0");
    // This worker's block of the shared figures; none when metrics are off.
    host::metrics::cell* const block = cfg.metrics ? metrics_region.block(worker_index) : nullptr;
    host::metrics::recorder metrics(families.host, block);
    if (cfg.metrics) application.set_metrics(&metrics);
    application.set_cors(host::http::parse_cors_origins(cfg.cors_origins));
    application.require_bearer(host::http::access::admin, cfg.admin_token);
    application.require_bearer(host::http::access::metrics, cfg.metrics_token);
    application.set_access_log(cfg.access_log);
    application.set_public_url(cfg.public_url);

    // Every statement of the routes is a read (tiles, boxes, centroids, plans), so with a
    // replica configured the whole pool goes there, and to the primary while it cannot.
    host::database::pool_options pool_options;
    pool_options.conninfo = cfg.database_read_url.empty() ? cfg.database_url : cfg.database_read_url;
    if (!cfg.database_read_url.empty()) pool_options.fallback_conninfo = cfg.database_url;
    pool_options.size = static_cast<std::size_t>(cfg.db_pool_size);
    if (!cfg.db_prepare) pool_options.prepared_statements = 0;
    host::database::pool db_pool(io.get_executor(), pool_options);
    application.set_session_provider(
        // A session's memory is reused by the thread's next one, as Asio reuses coroutine frames.
        {.open = [&db_pool] {
           return std::allocate_shared<host::database::session>(
               boost::asio::recycling_allocator<host::database::session>(), host::database::get_db(db_pool));
         },
         .close = [](host::database::session& s) -> boost::asio::awaitable<void> { co_await s.close(); }});

    mapsvc::tile_gateway::tile_gateway_module tiles(
        io.get_executor(),
        {.redis = redis,
         .memory_cache_bytes = static_cast<std::size_t>(cfg.memory_cache_mb) * 1024 * 1024,
         .metrics = families.tiles.bound_to(block),
         .public_url = cfg.public_url,
         .max_change_streams = static_cast<std::size_t>(cfg.max_change_streams),
         .client_max_age = cfg.client_max_age,
         .cache_ttl_with_feed = cfg.cache_ttl_with_feed,
         .open_session = [&db_pool] { return host::database::get_db(db_pool); }});
    application.mount(tiles.tileGateway);
    // Edits committed to the layer tables reach the cache through the database's change feed
    // (the primary's: the feed's tables are written there).
    mapsvc::tile_gateway::change_feed feed(
        tiles, {.conninfo = cfg.database_url,
                .replicas = !cfg.database_read_url.empty(),
                .announce = worker_index == 0,
                .open_session = [&db_pool] { return host::database::get_db(db_pool); }});
    feed.start();
    if (cfg.metrics) boost::asio::co_spawn(io, publish_pool_figures(db_pool, metrics), boost::asio::detached);

    // Plans are parsed and drawn off the event loop, a few at a time; beyond a bounded queue a
    // render is refused (503) rather than left to pile up.
    mapsvc::plans::render_queue renderers({.workers = render_threads,
                                           .max_waiting = 4 * render_threads,
                                           .render_time = families.plan_renders.bound_to(block).at()});
    application.mount(mapsvc::plans::plan_router(renderers));

    if (!cfg.web_root.empty() && std::filesystem::is_directory(cfg.web_root))
      application.mount(host::http::static_files_router(cfg.web_root));
    host::http::server_options options;
    options.host = cfg.host;
    options.port = cfg.port;
    options.listen_fd = listener;
    options.max_connections = static_cast<std::size_t>(cfg.max_connections);
    host::http::server server(io, application, options);

    host::database::reachability_probe database_probe(io.get_executor(), cfg.database_url);
    application.mount(host::http::probes_router(
        {.draining = [&server] { return server.draining(); },
         .database_reachable = [&database_probe] { return database_probe.reachable(); }}));
    if (cfg.metrics) application.mount(host::metrics::metrics_router(application, metrics_region));
    application.mount(host::http::api_description_router(application));
    // Connections and the database's processes behind them are made ready before the first
    // request is taken (for a few seconds at most: a database that is slow to answer is left
    // to the requests).
    bool warmed = false;
    mapsvc::tile_gateway::warm_up(
        io.get_executor(), [&db_pool] { return host::database::get_db(db_pool); }, pool_options.size,
        [&](std::size_t sessions) {
          warmed = true;
          log->debug("{} of {} database connections ready", sessions, pool_options.size);
        });
    const auto warm_until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!warmed && std::chrono::steady_clock::now() < warm_until) io.run_one_until(warm_until);
    server.start();
    if (!listener) log->info("Listening on http://{}:{}/", cfg.host, server.port());

    // The first signal drains; a second one ends the process at once.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    std::function<void(const boost::system::error_code&, int)> on_signal = [&](const boost::system::error_code& ec,
                                                                              int signal) {
      if (ec) return;
      log->info("Received signal {}: finishing requests in flight", signal);
      feed.stop();
      server.shutdown([&] { io.stop(); });
      signals.async_wait([&](const boost::system::error_code& ec2, int second) {
        if (ec2) return;
        log->warn("Received signal {} again: stopping at once", second);
        spdlog::shutdown();
        std::_Exit(128 + second);
      });
    };
    signals.async_wait(on_signal);
    io.run();
    log->info("Stopped");
    return 0;
  } catch (const std::exception& e) {
    log->critical("mapsvc failed: {}", e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A hangup ends a process by default; until the event loop handles it, one during the start
  // is ignored.
  std::signal(SIGHUP, SIG_IGN);
  host::config cfg;
  mapsvc::tile_gateway::redis_settings redis;
  try {
    cfg = host::load_config(std::vector<std::string>(argv + 1, argv + argc), host::process_env, MAPSVC_DEFAULT_WEB_ROOT);
    if (cfg.help) {
      std::fputs(host::usage_text(argv[0]).c_str(), stdout);
      return 0;
    }
    if (cfg.install_change_feed) return mapsvc::install_change_feed(cfg.database_url);
    host::helpers::set_log_level(level_named(cfg.log_level));
    // The tile cache's settings, checked here with the others so that a bad one stops the
    // start before any worker exists.
    redis = mapsvc::tile_gateway::read_redis_settings(host::process_env);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc: %s\n", e.what());
    return 2;
  }
  raise_descriptor_limit();
  if (cfg.admin_token.empty())
    host::helpers::get_logger("mapsvc")->warn(
        "MAPSVC_ADMIN_TOKEN is not set: POST /gis/cache/invalidate/... is open to anyone who can reach the port");
  // The plan renderer logs through the logger of this name when one exists: give it the host's.
  host::helpers::get_logger("printsvc.plots");
  // Tile and plan statements are short but look expensive to the planner, which then spends
  // longer compiling them than running them. An operator's own PGOPTIONS wins.
  ::setenv("PGOPTIONS", "-c jit=off", 0);

  const std::size_t workers = cfg.workers > 0 ? static_cast<std::size_t>(cfg.workers) : cores();
  // Render threads follow the cores: spread over the workers, at least one each.
  const std::size_t render_threads = std::max<std::size_t>(1, cores() / workers);
  // Mapped before any fork, so that every worker writes its figures where all can read them.
  std::optional<host::metrics::shared_region> metrics_region;
  service_metrics families;
  try {
    host::metrics::registry declared;
    families = declare_service_metrics(declared);
    metrics_region.emplace(std::move(declared), workers);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapsvc: %s\n", e.what());
    return 1;
  }
  if (workers == 1) return serve(cfg, redis, std::nullopt, render_threads, families, *metrics_region, 0);

  host::helpers::show_process_ids();
  auto log = host::helpers::get_logger("mapsvc");
  int listener = -1;
  try {
    listener = host::http::open_listener(cfg.host, cfg.port);
  } catch (const std::exception& e) {
    log->critical("mapsvc failed: cannot listen on {}:{}: {}", cfg.host, cfg.port, e.what());
    return 1;
  }
  log->info("Listening on http://{}:{}/ with {} worker processes", cfg.host, host::http::local_port(listener), workers);
  return mapsvc::supervise(
      {.workers = workers, .on_restart = [&](std::size_t) { metrics_region->header().worker_restarts.fetch_add(1); }},
      [&](std::size_t index) { return serve(cfg, redis, listener, render_threads, families, *metrics_region, index); });
}
