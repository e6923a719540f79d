#include "support.hpp"

#include "host/config.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>
#include <protozero/pbf_reader.hpp>

#include "host/database/get_db.hpp"
#include "host/metrics/host_metrics.hpp"
#include "host/metrics/shared_metrics.hpp"
#include "mapsvc/tile_gateway/catalogue.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"

namespace tile_test {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// ---- pg_admin

pg_admin::pg_admin(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
  if (PQstatus(conn_) != CONNECTION_OK)
    throw std::runtime_error("cannot connect to " + conninfo + ": " + PQerrorMessage(conn_));
}

pg_admin::~pg_admin() { PQfinish(conn_); }

std::vector<std::string> pg_admin::exec(const std::string& sql) {
  PGconn* c = conn_;
  PGresult* r = PQexec(c, sql.c_str());
  const auto status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::string message = PQresultErrorMessage(r);
    PQclear(r);
    throw std::runtime_error("SQL failed: " + message + sql.substr(0, 200));
  }
  std::vector<std::string> out;
  for (int i = 0; i < PQntuples(r); ++i) out.emplace_back(PQgetvalue(r, i, 0));
  PQclear(r);
  return out;
}

// ---- fixture_db

std::string fixture_db::admin_url() { return env_or("DATABASE_URL", host::DEFAULT_DATABASE_URL); }

std::string fixture_db::url() {
  const std::string admin = admin_url();
  const auto slash = admin.rfind('/');
  // Runs side by side (several developers, one database server) each name their own.
  return admin.substr(0, slash + 1) + env_or("MAPSVC_TILE_TEST_DB", "mapsvc_tiles_test");
}

void fixture_db::install_change_feed() {
  pg_admin db(url());
  db.exec(std::string(mapsvc::tile_gateway::change_feed_schema_sql()));
  for (const auto& [name, record] : mapsvc::tile_gateway::LAYER_CONFIG())
    db.exec(mapsvc::tile_gateway::watch_table_sql(record));
}

void fixture_db::create() {
  {
    pg_admin admin(admin_url());
    const std::string name = env_or("MAPSVC_TILE_TEST_DB", "mapsvc_tiles_test");
    admin.exec("DROP DATABASE IF EXISTS \"" + name + "\" WITH (FORCE)");
    admin.exec("CREATE DATABASE \"" + name + "\"");
  }
  pg_admin db(url());
  db.exec("CREATE EXTENSION IF NOT EXISTS postgis");
  db.exec(R"(
    CREATE TABLE "PLOT" ("ID" bigint PRIMARY KEY, "PLOT_NO" text, "STATUS" text, "AREA_SYSTEM" double precision,
                         "GENERAL_LU" text, "CADZONE" text, "DETAIL_LU" text, "file_no" text,
                         "GEOMETRY_3857" geometry(Polygon, 3857));
    CREATE TABLE "BEACON" ("ID" bigint PRIMARY KEY, "BEACON_NO" text, "STATUS" text, "REMARK" text,
                           "GEOMETRY_3857" geometry(Point, 3857));
    CREATE TABLE "CadZones" ("id" integer PRIMARY KEY, "name" text, "district_id" integer,
                             "geometry_3857" geometry(Polygon, 3857));
    CREATE TABLE "Districts" ("id" integer PRIMARY KEY, "name" text, "lga_id" integer,
                              "geometry_3857" geometry(Polygon, 3857));
    CREATE TABLE "LGAs" ("id" integer PRIMARY KEY, "name" text, "geometry_3857" geometry(Polygon, 3857));
    CREATE INDEX ON "PLOT" USING gist ("GEOMETRY_3857");
    CREATE INDEX ON "BEACON" USING gist ("GEOMETRY_3857");
    CREATE INDEX ON "CadZones" USING gist ("geometry_3857");
    CREATE INDEX ON "Districts" USING gist ("geometry_3857");
    CREATE INDEX ON "LGAs" USING gist ("geometry_3857");
  )");

  // Three plots of different sizes and two beacons inside the data tile.
  const auto t = data_tile();
  const auto b = host::helpers::bounds_of(t.z, t.x, t.y);
  const double side = b.maxx - b.minx;
  auto square = [&](double fx, double fy, double fraction, double x0, double y0) {
    return fmt::format("ST_MakeEnvelope({}, {}, {}, {}, 3857)", x0 + fx * side, y0 + fy * side,
                       x0 + (fx + fraction) * side, y0 + (fy + fraction) * side);
  };
  db.exec(fmt::format(R"(
    INSERT INTO "PLOT" VALUES
      (1, 'A-1', 'Allocated', 1500.5, 'Residential', 'A01', 'Detached house', 'FCT/1', {}),
      (2, 'A-2', 'Vacant', 400.25, 'Commercial', 'A01', 'Shop', 'FCT/2', {}),
      (3, 'A-3', 'Allocated', 25, 'Residential', 'A01', 'Kiosk', 'FCT/3', {});
    INSERT INTO "BEACON" VALUES
      (10, 'PB 10', 'Found', 'corner', ST_SetSRID(ST_MakePoint({}, {}), 3857)),
      (11, 'PB 11', 'Set', 'corner', ST_SetSRID(ST_MakePoint({}, {}), 3857));
  )",
                      square(0.1, 0.1, 0.4, b.minx, b.miny), square(0.6, 0.6, 0.2, b.minx, b.miny),
                      square(0.85, 0.1, 0.05, b.minx, b.miny), b.minx + 0.1 * side, b.miny + 0.1 * side,
                      b.minx + 0.5 * side, b.miny + 0.1 * side));

  // 3001 small plots and one large one in a tile of their own, to exercise the feature limit.
  const auto l = host::helpers::bounds_of(t.z, t.x + LIMIT_TILE_OFFSET, t.y);
  db.exec(fmt::format(R"(
    INSERT INTO "PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",
                        "GEOMETRY_3857")
    SELECT 1000 + i, 'S-' || i, 'Vacant', 1, 'Residential', 'B02', 'Plot', 'FCT/S/' || i,
           ST_MakeEnvelope({x0} + (i % 60) * {step}, {y0} + (i / 60) * {step},
                           {x0} + (i % 60) * {step} + {small}, {y0} + (i / 60) * {step} + {small}, 3857)
    FROM generate_series(0, 3000) AS i;
    INSERT INTO "PLOT" VALUES (9000, 'BIG', 'Allocated', 99999, 'Institutional', 'B02', 'Campus', 'FCT/BIG', {big});
  )",
                      fmt::arg("x0", l.minx + 2), fmt::arg("y0", l.miny + 2), fmt::arg("step", (l.maxx - l.minx - 4) / 61.0),
                      fmt::arg("small", 1.0), fmt::arg("big", square(0.3, 0.3, 0.1, l.minx, l.miny))));

  // Area layers around the data; "Districts" stays empty and without statistics.
  db.exec(fmt::format(R"(
    INSERT INTO "LGAs" VALUES (1, 'Abuja Municipal', ST_Transform(ST_MakeEnvelope(7.2, 8.8, 7.7, 9.3, 4326), 3857));
    INSERT INTO "CadZones" VALUES (7, 'Garki', 3, ST_Transform(ST_MakeEnvelope(7.45, 9.0, 7.55, 9.1, 4326), 3857));
    ANALYZE "PLOT"; ANALYZE "BEACON"; ANALYZE "LGAs"; ANALYZE "CadZones";
  )"));
}

// ---- redis_sync

redis_sync::redis_sync(const std::string& host, int port, int db) : ctx_(redisConnect(host.c_str(), port)) {
  if (!ctx_ || ctx_->err) throw std::runtime_error("cannot connect to redis");
  freeReplyObject(redisCommand(ctx_, "SELECT %d", db));
}

redis_sync::~redis_sync() { redisFree(ctx_); }

std::optional<std::string> redis_sync::get(const std::string& key) {
  auto* r = static_cast<redisReply*>(redisCommand(ctx_, "GET %b", key.data(), key.size()));
  std::optional<std::string> out;
  if (r && r->type == REDIS_REPLY_STRING) out.emplace(r->str, r->len);
  freeReplyObject(r);
  return out;
}

void redis_sync::set(const std::string& key, const std::string& value) {
  freeReplyObject(redisCommand(ctx_, "SET %b %b", key.data(), key.size(), value.data(), value.size()));
}

std::vector<std::string> redis_sync::keys(const std::string& pattern) {
  auto* r = static_cast<redisReply*>(redisCommand(ctx_, "KEYS %s", pattern.c_str()));
  std::vector<std::string> out;
  for (std::size_t i = 0; r && i < r->elements; ++i) out.emplace_back(r->element[i]->str, r->element[i]->len);
  freeReplyObject(r);
  std::sort(out.begin(), out.end());
  return out;
}

std::int64_t redis_sync::ttl(const std::string& key) {
  auto* r = static_cast<redisReply*>(redisCommand(ctx_, "TTL %s", key.c_str()));
  const std::int64_t out = r ? r->integer : -3;
  freeReplyObject(r);
  return out;
}

void redis_sync::flushdb() { freeReplyObject(redisCommand(ctx_, "FLUSHDB")); }

std::string redis_sync::command(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lens;
  for (const auto& a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  auto* r = static_cast<redisReply*>(redisCommandArgv(ctx_, static_cast<int>(args.size()), argv.data(), lens.data()));
  if (!r) throw std::runtime_error("redis command failed");
  std::string out = r->type == REDIS_REPLY_INTEGER ? std::to_string(r->integer) : std::string(r->str ? r->str : "", r->len);
  freeReplyObject(r);
  return out;
}

std::int64_t redis_sync::calls_of(const std::string& name) {
  const std::string info = command({"INFO", "commandstats"});
  const std::string marker = "cmdstat_" + name + ":calls=";
  const auto at = info.find(marker);
  return at == std::string::npos ? 0 : std::stoll(info.substr(at + marker.size()));
}

// ---- redis_child

redis_child::redis_child() : port_(free_port()) {
  const std::string port = std::to_string(port_);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    redisContext* c = redisConnect("127.0.0.1", port_);
    const bool up = c && !c->err;
    redisFree(c);
    if (up) return;
    std::this_thread::sleep_for(10ms);
  }
  throw std::runtime_error("redis-server did not start");
}

redis_child::~redis_child() {
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

// Returns once the process is stopped, not when the signal is merely sent: a busy machine may
// otherwise let it answer one more command.
void redis_child::pause() {
  ::kill(pid_, SIGSTOP);
  const std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat(stat_path);
    std::string pid, name, state;
    stat >> pid >> name >> state;
    if (state == "T" || state == "t") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
void redis_child::resume() { ::kill(pid_, SIGCONT); }

// ---- log_capture

log_capture::log_capture(std::shared_ptr<spdlog::logger> logger)
    : logger_(std::move(logger)), sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100000)) {
  sink_->set_pattern("%v");
  logger_->sinks().push_back(sink_);
}

log_capture::~log_capture() {
  auto& sinks = logger_->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

int log_capture::count(const std::string& text) const {
  int n = 0;
  for (const auto& line : sink_->last_formatted())
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

// ---- service

// The service's own metrics, declared as the server declares them, in one worker's block.
struct service::counted {
  host::metrics::host_families host;
  mapsvc::tile_gateway::tile_metrics tiles;
  host::metrics::shared_region region{declare(host, tiles), 1};
  host::metrics::recorder recorder{host, region.block(0)};

  static host::metrics::registry declare(host::metrics::host_families& host, mapsvc::tile_gateway::tile_metrics& tiles) {
    host::metrics::registry families;
    host = host::metrics::declare_host_metrics(families);
    tiles = mapsvc::tile_gateway::declare_tile_metrics(families, mapsvc::tile_gateway::LAYER_CONFIG());
    return families;
  }
};

std::string service::scrape_metrics() const {
  std::vector<std::string> routes;
  for (const auto& r : app_.routes()) routes.push_back(r.full_path.text());
  return host::metrics::scrape(counted_->region, {{"route", host::metrics::route_label_values(std::move(routes))}});
}

service::service(service_options options) : work_(asio::make_work_guard(io_)) {
  host::database::pool_options pool_options;
  pool_options.conninfo = options.database_url;
  pool_options.size = 4;
  pool_options.connect_timeout = 3s;
  pool_ = std::make_unique<host::database::pool>(io_.get_executor(), pool_options);
  app_.set_session_provider(
      {.open = [this] { return std::make_shared<host::database::session>(host::database::get_db(*pool_)); },
       .close = [](host::database::session& s) -> asio::awaitable<void> { co_await s.close(); }});

  mapsvc::tile_gateway::module_options module_options;
  module_options.redis.host = options.redis_host;
  module_options.redis.port = options.redis_port;
  module_options.redis.db = options.redis_db;
  module_options.query_timeout_override = options.query_timeout;
  module_options.memory_cache_bytes = options.memory_cache_bytes;
  module_options.public_url = options.public_url;
  module_options.max_change_streams = options.max_change_streams;
  module_options.change_heartbeat = options.change_heartbeat;
  module_options.client_max_age = options.client_max_age;
  module_options.open_session = [this] { return host::database::get_db(*pool_); };
  if (options.metrics) {
    counted_ = std::make_unique<counted>();
    module_options.metrics = counted_->tiles.bound_to(counted_->region.block(0));
    app_.set_metrics(&counted_->recorder);
  }
  app_.require_bearer(host::http::access::admin, options.admin_token);
  module_ = std::make_unique<mapsvc::tile_gateway::tile_gateway_module>(io_.get_executor(), module_options);
  app_.mount(module_->tileGateway);

  host::http::server_options server_options;
  server_options.port = 0;
  server_ = std::make_unique<host::http::server>(io_, app_, server_options);
  server_->start();
  thread_ = std::thread([this] { io_.run(); });
}

void service::on_loop(std::function<void()> work) {
  std::promise<void> done;
  asio::post(io_, [&] {
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  done.get_future().get();
}

void service::loop_stuck() {
  std::fprintf(stderr, "the service's event loop did not answer within a minute\n");
  std::abort();
}

std::future<void> service::begin_shutdown() {
  auto stopped = std::make_shared<std::promise<void>>();
  auto f = stopped->get_future();
  asio::post(io_, [this, stopped] {
    if (server_->draining()) return stopped->set_value();
    server_->shutdown([stopped] { stopped->set_value(); });
  });
  return f;
}

service::~service() {
  begin_shutdown().wait_for(5s);
  // The module and pool must go on the loop's thread, before it stops.
  std::promise<void> released;
  asio::post(io_, [&] {
    module_.reset();
    pool_.reset();
    released.set_value();
  });
  released.get_future().wait_for(5s);
  work_.reset();
  io_.stop();
  thread_.join();
}

http_reply service::request(const std::string& method, const std::string& target,
                            const std::map<std::string, std::string>& headers) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
  bhttp::request<bhttp::empty_body> req{bhttp::string_to_verb(method), target, 11};
  req.set(bhttp::field::host, "127.0.0.1");
  for (const auto& [name, value] : headers) req.set(name, value);
  bhttp::write(stream, req);
  beast::flat_buffer buffer;
  bhttp::response_parser<bhttp::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  if (method == "HEAD") parser.skip(true);  // the length is announced, no body follows
  bhttp::read(stream, buffer, parser);
  const auto& res = parser.get();
  http_reply reply;
  reply.status = res.result_int();
  for (const auto& field : res) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reply.headers[name] = std::string(field.value());
  }
  reply.body = res.body();
  return reply;
}

// ---- vector tiles

std::vector<mvt_layer> decode_mvt(const std::string& bytes) {
  std::vector<mvt_layer> layers;
  protozero::pbf_reader tile(bytes);
  while (tile.next(3)) {
    protozero::pbf_reader layer = tile.get_message();
    mvt_layer out;
    std::vector<std::string> keys, values;
    std::vector<std::vector<std::uint32_t>> feature_tags;
    while (layer.next()) {
      switch (layer.tag()) {
        case 1: out.name = layer.get_string(); break;
        case 2: {
          protozero::pbf_reader feature = layer.get_message();
          std::vector<std::uint32_t> tags;
          while (feature.next()) {
            if (feature.tag() == 2) {
              auto packed = feature.get_packed_uint32();
              tags.assign(packed.begin(), packed.end());
            } else {
              feature.skip();
            }
          }
          feature_tags.push_back(std::move(tags));
          break;
        }
        case 3: keys.push_back(layer.get_string()); break;
        case 4: {
          protozero::pbf_reader value = layer.get_message();
          std::string text;
          while (value.next()) {
            switch (value.tag()) {
              case 1: text = value.get_string(); break;
              case 2: text = fmt::format("{}", value.get_float()); break;
              case 3: text = fmt::format("{}", value.get_double()); break;
              case 4: text = std::to_string(value.get_int64()); break;
              case 5: text = std::to_string(value.get_uint64()); break;
              case 6: text = std::to_string(value.get_sint64()); break;
              case 7: text = value.get_bool() ? "true" : "false"; break;
              default: value.skip();
            }
          }
          values.push_back(std::move(text));
          break;
        }
        case 5: out.extent = layer.get_uint32(); break;
        case 15: out.version = layer.get_uint32(); break;
        default: layer.skip();
      }
    }
    for (const auto& tags : feature_tags) {
      std::map<std::string, std::string> attributes;
      for (std::size_t i = 0; i + 1 < tags.size(); i += 2) attributes[keys.at(tags[i])] = values.at(tags[i + 1]);
      out.features.push_back(std::move(attributes));
    }
    layers.push_back(std::move(out));
  }
  return layers;
}

std::string tile_path(const std::string& layer, int z, std::int64_t x, std::int64_t y) {
  return fmt::format("/gis/{}/{}/{}/{}.pbf", layer, z, x, y);
}

}  // namespace tile_test
