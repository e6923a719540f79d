// Point-select throughput through the host's pool, in the shape of `pgbench -S`:
//   pg_bench URL MODE CONCURRENCY SECONDS [POOL_SIZE]
// MODE: statement  one SELECT per turn in a session held by the worker (one round trip each,
//                  like pgbench -S in autocommit)
//       session    one request: get_db, SELECT, commit, close (BEGIN sent with the SELECT)
//       session-2rt the same with BEGIN in a round trip of its own
// Prints "MODE c=N pool=P: X ops/s (mean latency Y us)".
#include <host/database/get_db.hpp>

#include <clients/pg/connection.hpp>

#include <boost/asio.hpp>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

namespace asio = boost::asio;
namespace db = host::database;
namespace pg = clients::pg;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr const char* select_sql = "SELECT abalance FROM pgbench_accounts WHERE aid = :aid";

struct run_state {
  clock_type::time_point end;
  std::int64_t accounts = 0;
  std::uint64_t ops = 0;
  std::uint64_t errors = 0;
};

asio::awaitable<void> worker(db::pool& pool, run_state& st, std::string mode, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int64_t> aid(1, st.accounts);
  // "statement": one session for the whole run, so each turn is the SELECT's round trip only.
  auto held = db::get_db(pool);
  while (clock_type::now() < st.end) {
    pg::params p{{"aid", aid(rng)}};
    try {
      if (mode == "statement") {
        auto r = co_await held.execute(select_sql, p);
      } else {
        auto s = db::get_db(pool);
        auto r = co_await s.execute(select_sql, p);
        co_await s.commit();
        co_await s.close();
      }
      ++st.ops;
    } catch (const std::exception& e) {
      if (++st.errors == 1) std::fprintf(stderr, "error: %s\n", e.what());
    }
  }
  co_await held.commit();
  co_await held.close();
}

asio::awaitable<void> count_accounts(db::pool& pool, run_state& st) {
  auto s = db::get_db(pool);
  auto r = co_await s.execute("SELECT count(*) FROM pgbench_accounts");
  st.accounts = *r.scalar_one_or_none<std::int64_t>();
  co_await s.close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s URL MODE CONCURRENCY SECONDS [POOL_SIZE]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1], mode = argv[2];
  const int concurrency = std::stoi(argv[3]);
  const int seconds = std::stoi(argv[4]);
  db::pool_options o;
  o.conninfo = url;
  o.size = argc > 5 ? std::stoul(argv[5]) : static_cast<std::size_t>(concurrency);
  o.pipeline_begin = mode != "session-2rt";

  asio::io_context ioc(1);
  db::pool pool(ioc.get_executor(), o);
  run_state st;
  asio::co_spawn(ioc, count_accounts(pool, st), asio::detached);
  ioc.run();
  ioc.restart();
  if (st.accounts == 0) {
    std::fprintf(stderr, "no pgbench_accounts rows (run pgbench -i first)\n");
    return 1;
  }
  const auto start = clock_type::now();
  st.end = start + std::chrono::seconds(seconds);
  for (int i = 0; i < concurrency; ++i) asio::co_spawn(ioc, worker(pool, st, mode, 1234u + i), asio::detached);
  ioc.run();
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  const double rate = st.ops / elapsed;
  std::printf("%s c=%d pool=%zu: %.0f ops/s (mean latency %.0f us, %llu errors)\n", mode.c_str(), concurrency, o.size,
              rate, rate > 0 ? concurrency / rate * 1e6 : 0.0, static_cast<unsigned long long>(st.errors));
  return st.errors ? 1 : 0;
}
