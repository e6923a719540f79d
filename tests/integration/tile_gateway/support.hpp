#pragma once
// A running tile service for tests: a fixture database in the catalogue's exact schema, the
// module on its own event loop thread, a real HTTP server, and blocking clients for HTTP,
// PostgreSQL and Redis to look at what it did.

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include "host/database/pool.hpp"
#include "host/helpers/utils.hpp"
#include "host/http/app.hpp"
#include "host/http/server.hpp"
#include "mapsvc/tile_gateway/module.hpp"

struct redisContext;
struct pg_conn;

namespace tile_test {

using namespace std::chrono_literals;

std::string env_or(const char* name, const char* fallback);
int free_port();
// The Redis database of these tests on the shared server (runs side by side name their own).
inline int test_redis_db() { return std::stoi(env_or("MAPSVC_TILE_TEST_REDIS_DB", "3")); }

// ---- PostgreSQL, blocking (libpq), for fixtures and checks
class pg_admin {
 public:
  explicit pg_admin(const std::string& conninfo);
  ~pg_admin();
  pg_admin(const pg_admin&) = delete;
  pg_admin& operator=(const pg_admin&) = delete;
  // Runs `sql`; the first column of each row as text ("" for NULL). Throws on error.
  std::vector<std::string> exec(const std::string& sql);

 private:
  ::pg_conn* conn_;
};

// The fixture database: created afresh, tables of the layer catalogue, known features.
struct fixture_db {
  static std::string admin_url();  // DATABASE_URL of the environment
  static std::string url();        // the fixture database
  static void create();
  // The change feed's schema, and its triggers on every layer table (idempotent).
  static void install_change_feed();
};

// The tile (z15) that holds the known features, and neighbours used by the tests.
inline const host::helpers::tile_address& data_tile() {
  static const auto t = host::helpers::tile_for(9.05, 7.49, 15);
  return t;
}
inline constexpr std::int64_t LIMIT_TILE_OFFSET = 40;  // x offset of the tile with 3001 plots

// ---- Redis, blocking (hiredis)
class redis_sync {
 public:
  redis_sync(const std::string& host, int port, int db);
  ~redis_sync();
  redis_sync(const redis_sync&) = delete;
  redis_sync& operator=(const redis_sync&) = delete;
  std::optional<std::string> get(const std::string& key);
  void set(const std::string& key, const std::string& value);
  std::vector<std::string> keys(const std::string& pattern);
  std::int64_t ttl(const std::string& key);
  void flushdb();
  // Any command; the reply as text (integers in decimal, status and bulk strings as they are).
  std::string command(const std::vector<std::string>& args);
  // How many times `name` (e.g. "get") has run on the server, from INFO commandstats.
  std::int64_t calls_of(const std::string& name);

 private:
  ::redisContext* ctx_;
};

// A redis-server of the test's own, to pause or kill.
class redis_child {
 public:
  redis_child();
  ~redis_child();
  int port() const { return port_; }
  void pause();
  void resume();

 private:
  int port_;
  int pid_ = -1;
};

// ---- Logs: the lines a logger writes while this lives. Attach and detach it while the
// service handles no request (a logger's sink list is not guarded).
class log_capture {
 public:
  explicit log_capture(std::shared_ptr<spdlog::logger> logger);
  ~log_capture();
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;
  // How many lines so far contain `text`.
  int count(const std::string& text) const;

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

// ---- HTTP, blocking
struct http_reply {
  unsigned status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
  bool has(const std::string& header) const { return headers.count(header) > 0; }
};

// ---- The service
struct service_options {
  std::string redis_host = env_or("REDIS_HOST", "127.0.0.1");
  int redis_port = std::stoi(env_or("REDIS_PORT", "56379"));
  int redis_db = test_redis_db();
  std::string database_url = fixture_db::url();
  std::optional<std::chrono::milliseconds> query_timeout{};
  std::size_t memory_cache_bytes = 0;
  std::string admin_token{};
  std::string public_url{};
  bool metrics = false;  // counts into metrics of its own (see service::scrape_metrics)
  std::size_t max_change_streams = 256;
  std::chrono::milliseconds change_heartbeat{15s};
  std::optional<int> client_max_age{};
};

class service {
 public:
  explicit service(service_options options = {});
  ~service();

  http_reply get(const std::string& target) { return request("GET", target); }
  http_reply post(const std::string& target, const std::map<std::string, std::string>& headers = {}) {
    return request("POST", target, headers);
  }
  http_reply request(const std::string& method, const std::string& target,
                     const std::map<std::string, std::string>& headers = {});

  // Runs `work` on the service's event loop and waits for it. A loop that does not answer
  // within a minute is stuck (a handler that never returns): the process ends with a message,
  // since nothing after it, the fixture's clean-up included, could run either.
  template <class T>
  T run(boost::asio::awaitable<T> work) {
    auto f = boost::asio::co_spawn(io_, std::move(work), boost::asio::use_future);
    if (f.wait_for(std::chrono::minutes(1)) != std::future_status::ready) loop_stuck();
    return f.get();
  }
  mapsvc::tile_gateway::tile_gateway_module& module() { return *module_; }
  host::database::pool& pool() { return *pool_; }
  boost::asio::any_io_executor executor() { return io_.get_executor(); }
  unsigned short port() const { return server_->port(); }
  // Runs `work` on the service's event loop and waits for it.
  void on_loop(std::function<void()> work);
  // The metrics' text as GET /metrics shows it (with `metrics` on).
  std::string scrape_metrics() const;
  // Starts the server's drain; the future is ready once it reports itself stopped.
  std::future<void> begin_shutdown();

 private:
  [[noreturn]] static void loop_stuck();
  boost::asio::io_context io_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::unique_ptr<host::database::pool> pool_;
  struct counted;
  std::unique_ptr<counted> counted_;
  std::unique_ptr<mapsvc::tile_gateway::tile_gateway_module> module_;
  host::http::app app_{"test", "1"};
  std::unique_ptr<host::http::server> server_;
  std::thread thread_;
};

// ---- Vector tiles, decoded
struct mvt_layer {
  std::string name;
  std::uint32_t extent = 0;
  std::uint32_t version = 0;
  std::vector<std::map<std::string, std::string>> features;  // attributes as text
};
std::vector<mvt_layer> decode_mvt(const std::string& bytes);

std::string tile_path(const std::string& layer, int z, std::int64_t x, std::int64_t y);

}  // namespace tile_test
