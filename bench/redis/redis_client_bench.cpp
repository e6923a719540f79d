// GET throughput of one client shared by many coroutines, to set beside redis-benchmark.
//
//   redis_client_bench [--host H] [--port P] [--key K] [--concurrency C] [--requests N]
//                      [--connections K] [--timeout-ms T]
//
// Reads the existing key K (default "key:__rand_int__", the key redis-benchmark's GET uses)
// N times from C coroutines on one io_context thread and prints GETs per second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "clients/redis/client.hpp"

namespace asio = boost::asio;
namespace redis = clients::redis;

namespace {

struct settings {
  redis::options redis;
  std::string key = "key:__rand_int__";
  int concurrency = 50;
  long requests = 200000;
  std::optional<std::chrono::milliseconds> timeout;
};

settings parse(int argc, char** argv) {
  settings s;
  s.redis.host = "127.0.0.1";
  s.redis.port = 56379;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--host") s.redis.host = value;
    else if (flag == "--port") s.redis.port = std::stoi(value);
    else if (flag == "--key") s.key = value;
    else if (flag == "--concurrency") s.concurrency = std::stoi(value);
    else if (flag == "--requests") s.requests = std::stol(value);
    else if (flag == "--connections") s.redis.connections = std::stoi(value);
    else if (flag == "--timeout-ms") s.timeout = std::chrono::milliseconds(std::stol(value));
    else throw std::invalid_argument("unknown flag " + std::string(flag));
  }
  return s;
}

asio::awaitable<void> worker(redis::client& client, const settings& s, long count, std::size_t& bytes) {
  for (long i = 0; i < count; ++i) {
    auto value = co_await client.get(s.key, s.timeout);
    if (!value) throw std::runtime_error("key " + s.key + " does not exist");
    bytes = value->size();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const settings s = parse(argc, argv);
  asio::io_context ioc(1);
  redis::client client(ioc.get_executor(), s.redis);
  std::size_t bytes = 0;
  int failures = 0;
  const auto on_done = [&](std::exception_ptr e) {
    if (!e) return;
    ++failures;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::fprintf(stderr, "worker failed: %s\n", x.what());
    }
  };

  // Connect outside the timed part.
  asio::co_spawn(ioc, worker(client, s, 1, bytes), on_done);
  while (ioc.run_one() > 0 && bytes == 0 && failures == 0) {
  }
  if (failures) return 1;

  const long per_worker = s.requests / s.concurrency;
  int finished = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < s.concurrency; ++i)
    asio::co_spawn(ioc, worker(client, s, per_worker, bytes), [&](std::exception_ptr e) {
      on_done(e);
      ++finished;
    });
  while (finished < s.concurrency) ioc.run_one();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (failures) return 1;

  std::printf("redis_client GET: %zu-byte value, %d coroutines, %d connection(s), %s: %.0f requests per second\n",
              bytes, s.concurrency, s.redis.connections,
              s.timeout ? ("caller time-out " + std::to_string(s.timeout->count()) + " ms").c_str() : "no caller time-out",
              static_cast<double>(per_worker * s.concurrency) / seconds);
  return 0;
}
