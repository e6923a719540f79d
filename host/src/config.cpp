#include "host/config.hpp"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

#include "host/http/cors.hpp"
#include "host/http/public_url.hpp"

namespace host {
namespace {

long parse_whole(const std::string& what, const std::string& text, long min, long max) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
    throw std::invalid_argument(what + " must be a whole number from " + std::to_string(min) + " to " +
                                std::to_string(max) + ", got '" + text + "'");
  return value;
}

bool parse_switch(const std::string& what, const std::string& text) {
  if (text == "1" || text == "true" || text == "yes" || text == "on") return true;
  if (text == "0" || text == "false" || text == "no" || text == "off") return false;
  throw std::invalid_argument(what + " must be 1 or 0, got '" + text + "'");
}

// A bearer token as RFC 6750 allows it (token68), bounded so that comparing it costs little.
std::string checked_token(const std::string& what, const std::string& text) {
  constexpr std::size_t most = 512;
  if (text.size() > most) throw std::invalid_argument(what + " is longer than " + std::to_string(most) + " characters");
  for (const char ch : text) {
    const bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                    ch == '-' || ch == '.' || ch == '_' || ch == '~' || ch == '+' || ch == '/' || ch == '=';
    if (!ok) throw std::invalid_argument(what + " may hold only letters, digits and -._~+/=");
  }
  return text;
}

void apply(config& c, const std::string& key, const std::string& value) {
  if (key == "host") c.host = value;
  else if (key == "port") c.port = static_cast<unsigned short>(parse_whole("port", value, 0, 65535));
  else if (key == "database-url") c.database_url = value;
  else if (key == "database-read-url") c.database_read_url = value;
  else if (key == "db-pool-size") c.db_pool_size = static_cast<int>(parse_whole("db pool size", value, 1, 1000));
  else if (key == "db-prepare") c.db_prepare = parse_switch("db prepare", value);
  else if (key == "max-connections")
    c.max_connections = static_cast<int>(parse_whole("max connections", value, 1, 1'000'000));
  else if (key == "memory-cache-mb")
    c.memory_cache_mb = static_cast<int>(parse_whole("memory cache size in MB", value, 0, 1'000'000));
  else if (key == "workers") c.workers = static_cast<int>(parse_whole("workers", value, 0, 256));
  else if (key == "web-root") c.web_root = value;
  else if (key == "log-level") c.log_level = value;
  else if (key == "cors-origins") {
    http::parse_cors_origins(value);  // refused here, at the start, rather than per request
    c.cors_origins = value;
  } else if (key == "public-url") c.public_url = http::parse_public_url(value);
  else if (key == "access-log") c.access_log = parse_switch("access log", value);
  else if (key == "metrics") c.metrics = parse_switch("metrics", value);
  else if (key == "max-change-streams")
    c.max_change_streams = static_cast<int>(parse_whole("max change streams", value, 0, 1'000'000));
  else if (key == "client-max-age")
    c.client_max_age = static_cast<int>(parse_whole("client max-age in seconds", value, 0, 31'536'000));
  else if (key == "cache-ttl-with-feed") {
    const auto ttl = static_cast<int>(parse_whole("cache TTL with the feed in seconds", value, 0, 31'536'000));
    c.cache_ttl_with_feed = ttl == 0 ? std::nullopt : std::optional<int>(ttl);
  }
  else throw std::invalid_argument("unknown option --" + key + " (see --help)");
}

}  // namespace

std::optional<std::string> process_env(const std::string& name) {
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  return std::nullopt;
}

config load_config(const std::vector<std::string>& args, const env_lookup& env, std::string default_web_root) {
  config c;
  c.web_root = std::move(default_web_root);
  const std::pair<const char*, const char*> env_keys[] = {
      {"MAPSVC_HOST", "host"},           {"MAPSVC_PORT", "port"},         {"DATABASE_URL", "database-url"},
      {"DATABASE_READ_URL", "database-read-url"},
      {"DB_POOL_SIZE", "db-pool-size"}, {"DB_PREPARE", "db-prepare"},
      {"MAPSVC_MAX_CONNECTIONS", "max-connections"},
      {"MAPSVC_WORKERS", "workers"},     {"MAPSVC_MEMORY_CACHE_MB", "memory-cache-mb"},
      {"MAPSVC_WEB_ROOT", "web-root"},   {"MAPSVC_LOG_LEVEL", "log-level"},
      {"MAPSVC_CORS_ORIGINS", "cors-origins"}, {"MAPSVC_PUBLIC_URL", "public-url"},
      {"MAPSVC_ACCESS_LOG", "access-log"},      {"MAPSVC_METRICS", "metrics"},
      {"MAPSVC_MAX_CHANGE_STREAMS", "max-change-streams"}, {"MAPSVC_CLIENT_MAX_AGE", "client-max-age"},
      {"MAPSVC_CACHE_TTL_WITH_FEED", "cache-ttl-with-feed"}};
  for (const auto& [var, key] : env_keys) {
    if (auto v = env(var); v && !v->empty()) {
      try {
        apply(c, key, *v);
      } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string(var) + ": " + e.what());
      }
    }
  }
  if (auto v = env("MAPSVC_ADMIN_TOKEN"); v && !v->empty()) c.admin_token = checked_token("MAPSVC_ADMIN_TOKEN", *v);
  if (auto v = env("MAPSVC_METRICS_TOKEN"); v && !v->empty())
    c.metrics_token = checked_token("MAPSVC_METRICS_TOKEN", *v);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      c.help = true;
      continue;
    }
    if (arg == "--install-change-feed") {
      c.install_change_feed = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw std::invalid_argument("unexpected argument '" + arg + "' (see --help)");
    std::string key = arg.substr(2), value;
    if (const auto eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
    } else {
      if (i + 1 >= args.size()) throw std::invalid_argument("option --" + key + " needs a value");
      value = args[++i];
    }
    apply(c, key, value);
  }
  return c;
}

std::string usage_text(const std::string& program) {
  return "usage: " + program + R"( [options]

Serves vector tiles of the cadastral layers, survey plans and the map preview page.

options (each also read from the environment variable shown; flags win):
  --host ADDR          listen address                     MAPSVC_HOST   (127.0.0.1)
  --port N             listen port                        MAPSVC_PORT   (8000)
  --database-url URL   PostgreSQL connection URI          DATABASE_URL  ()" +
         DEFAULT_DATABASE_URL + R"()
  --database-read-url URL  where the read statements (tiles, boxes, centroids, plans) go:
                       a replica, or several hosts with    DATABASE_READ_URL (none: DATABASE_URL)
                       target_session_attrs=prefer-standby; DATABASE_URL when it cannot connect
  --workers N          worker processes (0: one per core)  MAPSVC_WORKERS (0)
  --db-pool-size N     database connections per worker    DB_POOL_SIZE  (10)
  --db-prepare 0|1     prepare statements once per         DB_PREPARE    (1)
                       connection; 0 behind a pooler that
                       does not keep them (transaction mode)
  --memory-cache-mb N  tile memory per worker (0: none)   MAPSVC_MEMORY_CACHE_MB (64)
  --max-connections N  client connections at most         MAPSVC_MAX_CONNECTIONS (10000)
  --web-root DIR       folder of the preview page         MAPSVC_WEB_ROOT
  --log-level LEVEL    debug, info, warning, error        MAPSVC_LOG_LEVEL (info)
  --cors-origins LIST  origins browsers may read from:    MAPSVC_CORS_ORIGINS (*)
                       * or scheme://host[:port],...
  --public-url URL     base of absolute URLs in TileJSON  MAPSVC_PUBLIC_URL (from the request)
  --access-log 0|1     one log line per request           MAPSVC_ACCESS_LOG (0)
  --metrics 0|1        count requests for GET /metrics    MAPSVC_METRICS (1)
  --max-change-streams N  event streams (GET /gis/changes)   MAPSVC_MAX_CHANGE_STREAMS (256)
                       per worker; beyond it 503
  --client-max-age S   max-age of cached tile hits, in     MAPSVC_CLIENT_MAX_AGE (the zoom's
                       seconds (0-31536000)                 cache TTL)
  --cache-ttl-with-feed S  how long stored tiles live when    MAPSVC_CACHE_TTL_WITH_FEED (0: off,
                       the change feed is installed, in     the zoom's cache TTL)
                       seconds (0-31536000); safe only when
                       every writer of the tables is watched
  --install-change-feed  install the tile change feed in the database
                       (DATABASE_URL) and exit
  -h, --help           this text

The tile cache reads REDIS_HOST (localhost), REDIS_PORT (6379) and REDIS_DB (0); or, for a
Redis Cluster, REDIS_CLUSTER_NODES (host:port,... of any of its nodes); or, for a primary
watched by Sentinel, REDIS_SENTINELS (host:port,...) and REDIS_SENTINEL_MASTER (its name).
MAPSVC_ADMIN_TOKEN (cache purge) and MAPSVC_METRICS_TOKEN (/metrics), when set, must be sent
as "Authorization: Bearer <token>"; they are read from the environment only.
)";
}

}  // namespace host
