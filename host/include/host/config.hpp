#pragma once
// The host's settings: environment variables, overridden by command-line flags.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host {

// The demo database of `make run`, where no database is named.
inline constexpr const char* DEFAULT_DATABASE_URL = "postgresql://postgres@127.0.0.1:55432/mapsvc";

struct config {
  std::string host = "127.0.0.1";
  unsigned short port = 8000;
  std::string database_url = DEFAULT_DATABASE_URL;
  // Where the read statements go (a replica); empty: database_url.
  std::string database_read_url;
  int db_pool_size = 10;
  // Statements prepared once per database connection; off behind a pooler that does not
  // keep prepared statements (transaction pooling).
  bool db_prepare = true;
  int max_connections = 10'000;
  int workers = 0;  // worker processes; 0: one per core
  int memory_cache_mb = 64;  // tiles kept in each worker's memory; 0: none
  std::string web_root;  // folder of the preview page; empty: the page is not served
  std::string log_level = "info";
  // "*" or a comma list of origins (scheme://host[:port]) allowed to read answers from a browser.
  std::string cors_origins = "*";
  // Base of the absolute URLs in TileJSON (scheme://host[:port][/path]); empty: from the request.
  std::string public_url;
  bool access_log = false;
  bool metrics = true;  // count requests for GET /metrics; off: no counting and no route
  int max_change_streams = 256;  // event streams of GET /gis/changes per worker
  // The max-age of cached tile hits, in seconds; none: the zoom's cache TTL.
  std::optional<int> client_max_age;
  // How long stored tiles live, in seconds, when the change feed is installed; none: the
  // zoom's cache TTL.
  std::optional<int> cache_ttl_with_feed;
  // Bearer tokens of the cache purge and of /metrics; empty: open. Read from the environment
  // only, so that they never show in a process listing.
  std::string admin_token;
  std::string metrics_token;
  bool help = false;
  // Install the change feed in the database and exit (a flag only: an action, not a setting).
  bool install_change_feed = false;
};

using env_lookup = std::function<std::optional<std::string>(const std::string&)>;

// Reads MAPSVC_HOST, MAPSVC_PORT, DATABASE_URL, DATABASE_READ_URL, DB_POOL_SIZE, DB_PREPARE,
// MAPSVC_MAX_CONNECTIONS, MAPSVC_WORKERS, MAPSVC_MEMORY_CACHE_MB, MAPSVC_WEB_ROOT, MAPSVC_LOG_LEVEL, MAPSVC_CORS_ORIGINS,
// MAPSVC_PUBLIC_URL, MAPSVC_ACCESS_LOG, MAPSVC_METRICS, MAPSVC_MAX_CHANGE_STREAMS, MAPSVC_CLIENT_MAX_AGE,
// MAPSVC_CACHE_TTL_WITH_FEED,
// MAPSVC_ADMIN_TOKEN and MAPSVC_METRICS_TOKEN, then the
// flags. Throws std::invalid_argument naming the bad setting.
config load_config(const std::vector<std::string>& args, const env_lookup& env, std::string default_web_root = {});

std::string usage_text(const std::string& program);

// The process environment as an env_lookup.
std::optional<std::string> process_env(const std::string& name);

}  // namespace host
