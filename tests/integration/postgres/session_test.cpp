// Sessions and the pool: transactions, exhaustion, broken and vanished servers, cancellation.
#include "support.hpp"

#include <host/database/get_db.hpp>

#include <clients/pg/errors.hpp>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include <set>

namespace {

namespace pg = clients::pg;
namespace db = host::database;
using namespace pgtest;
using namespace boost::asio::experimental::awaitable_operators;

db::pool_options options(std::size_t size, std::chrono::milliseconds acquire = 5s, std::string url = database_url()) {
  db::pool_options o;
  o.conninfo = std::move(url);
  o.size = size;
  o.acquire_timeout = acquire;
  return o;
}

asio::awaitable<int> pid_of(db::session& s) {
  auto r = co_await s.execute("SELECT pg_backend_pid() AS pid");
  co_return r[0].get<int>("pid");
}

// Polls (bounded) the server process's state until `done(state)`; returns the last state.
template <class Done>
asio::awaitable<std::string> wait_state(pg::connection& admin, int pid, Done done) {
  std::string state;
  for (int i = 0; i < 100 && !done(state = co_await backend_state(admin, pid)); ++i) co_await sleep_for(20ms);
  co_return state;
}
const auto not_active = [](const std::string& s) { return s != "active"; };

class Session : public ::testing::TestWithParam<bool> {};

TEST_P(Session, CommitAndRollbackDecideWhatOthersSee) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto opts = options(3);
    opts.pipeline_begin = GetParam();
    db::pool pool(ex, opts);
    const std::string table = unique_name(GetParam() ? "pg_session_pipelined" : "pg_session_plain");
    auto count = [&](std::int64_t id) -> asio::awaitable<std::int64_t> {
      auto s = db::get_db(pool);
      pg::params p{{"id", id}};
      const std::string sql = "SELECT count(*) FROM " + table + " WHERE id = :id";
      auto r = co_await s.execute(sql, p);
      co_await s.close();
      co_return *r.scalar_one_or_none<std::int64_t>();
    };
    auto once = [&](const std::string& sql) -> asio::awaitable<void> {
      const auto open_before = pool.stats().open;
      auto s = db::get_db(pool);
      EXPECT_EQ(pool.stats().open, open_before) << "a session takes no connection before its first statement";
      co_await s.execute(sql);
      co_await s.commit();
      co_await s.close();
    };
    const std::string drop = "DROP TABLE IF EXISTS " + table, create = "CREATE TABLE " + table + " (id int PRIMARY KEY, v text)";
    co_await once(drop);
    co_await once(create);
    const std::string insert = "INSERT INTO " + table + " (id, v) VALUES (:id, :v)";
    {
      auto s = db::get_db(pool);
      pg::params p{{"id", std::int64_t{1}}, {"v", std::string("kept")}};
      co_await s.execute(insert, p);
      EXPECT_TRUE(s.in_transaction());
      auto a = co_await s.execute("SELECT txid_current() AS x");
      auto b = co_await s.execute("SELECT txid_current() AS x");
      EXPECT_EQ(a[0].get<std::int64_t>("x"), b[0].get<std::int64_t>("x")) << "one transaction per session";
      EXPECT_EQ(co_await count(1), 0) << "not visible before commit";
      co_await s.commit();
      EXPECT_FALSE(s.in_transaction());
      co_await s.commit();  // nothing open: no-op
      co_await s.close();
      co_await s.close();  // idempotent
    }
    EXPECT_EQ(co_await count(1), 1);
    for (const bool explicit_rollback : {true, false}) {
      // Rolled back, or closed without commit: either way nothing is kept.
      auto s = db::get_db(pool);
      pg::params p{{"id", std::int64_t{2}}, {"v", std::string("dropped")}};
      co_await s.execute(insert, p);
      if (explicit_rollback) {
        co_await s.rollback();
        co_await s.rollback();  // nothing open: no-op
      }
      co_await s.close();
      EXPECT_EQ(co_await count(2), 0);
    }
    {
      // A caught statement error must not let a later commit look successful.
      auto s = db::get_db(pool);
      pg::params p{{"id", std::int64_t{4}}, {"v", std::string("x")}};
      co_await s.execute(insert, p);
      pg::params dup{{"id", std::int64_t{1}}, {"v", std::string("dup")}};
      std::string state;
      try {
        co_await s.execute(insert, dup);
      } catch (const pg::statement_error& e) {
        state = e.sqlstate();
      }
      EXPECT_EQ(state, "23505");
      try {
        co_await s.commit();
        ADD_FAILURE() << "commit of an aborted transaction reported success";
      } catch (const pg::transaction_error& e) {
        EXPECT_EQ(e.sqlstate(), "25P02");
      }
      EXPECT_FALSE(s.in_transaction());
      co_await s.close();
    }
    EXPECT_EQ(co_await count(4), 0);
    {
      // A failing first statement still leaves a clean session behind.
      auto s = db::get_db(pool);
      try {
        co_await s.execute("SELEC 1");
      } catch (const pg::statement_error&) {
      }
      co_await s.rollback();
      auto r = co_await s.execute("SELECT 5");
      EXPECT_EQ(r.scalar_one_or_none<int>(), 5);
      co_await s.commit();
      co_await s.close();
    }
    {
      // COMMIT riding with the statement: committed when it succeeds, nothing when it fails.
      auto s = db::get_db(pool);
      pg::params p{{"id", std::int64_t{5}}, {"v", std::string("with commit")}};
      co_await s.execute_and_commit(insert, p, 5s);
      EXPECT_FALSE(s.in_transaction());
      EXPECT_EQ(co_await count(5), 1);
      co_await s.commit();  // nothing open: no-op
      pg::params dup{{"id", std::int64_t{5}}, {"v", std::string("again")}};
      EXPECT_THROW(co_await s.execute_and_commit(insert, dup, 5s), pg::statement_error);
      EXPECT_TRUE(s.in_transaction()) << "the failed transaction waits for its rollback";
      co_await s.rollback();
      const pg::params none;
      auto r = co_await s.execute_and_commit("SELECT 6", none, 5s);
      EXPECT_EQ(r.scalar_one_or_none<int>(), 6);
      co_await s.close();
    }
    co_await once(drop);
    EXPECT_LE(pool.stats().open, 3u);
  });
}

INSTANTIATE_TEST_SUITE_P(BeginMode, Session, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Pipelined" : "SeparateRoundTrip"; });

class Pool : public ::testing::Test {
 protected:
  asio::thread_pool blocking{1};
};

TEST_F(Pool, ExhaustedPoolMakesRequestsWaitThenServesThem) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    db::pool pool(ex, options(2));
    std::multiset<int> pids;
    std::size_t most_waiting = 0;
    auto request = [&]() -> asio::awaitable<void> {
      auto s = db::get_db(pool);
      auto r = co_await s.execute("SELECT pg_backend_pid() AS pid, pg_sleep(0.3)");
      most_waiting = std::max(most_waiting, pool.stats().waiting);
      pids.insert(r[0].get<int>("pid"));
      co_await s.commit();
      co_await s.close();
    };
    co_await (request() && request() && request() && request());
    EXPECT_EQ(pids.size(), 4u);
    EXPECT_EQ(std::set<int>(pids.begin(), pids.end()).size(), 2u) << "connections are reused";
    EXPECT_GE(most_waiting, 1u);
    EXPECT_EQ(pool.stats().open, 2u);
    EXPECT_EQ(pool.stats().idle, 2u);
  });
}

TEST_F(Pool, WaitForAConnectionIsBounded) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    db::pool pool(ex, options(1, 200ms));
    auto holder = db::get_db(pool);
    const int pid = co_await pid_of(holder);
    auto waiter = db::get_db(pool);
    // A statement's own time-out covers its wait for a connection.
    const pg::params none;
    EXPECT_THROW(co_await waiter.execute("SELECT 1", none, 50ms), pg::timeout_error);
    bool pool_error = false;
    try {
      co_await waiter.execute("SELECT 1");
    } catch (const pg::pool_error& e) {
      const pg::error& in_family = e;
      pool_error = std::string(in_family.what()).find("200 ms") != std::string::npos;
    }
    EXPECT_TRUE(pool_error);
    co_await holder.close();
    EXPECT_EQ(co_await pid_of(waiter), pid);
    co_await waiter.close();
  });
}

TEST_F(Pool, KilledBackendIsReplaced) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto admin = co_await open(ex, blocking);
    db::pool pool(ex, options(1));
    auto terminate = [&](int pid) -> asio::awaitable<void> {
      pg::params p{{"pid", std::int64_t{pid}}};
      co_await admin->execute("SELECT pg_terminate_backend(:pid)", p);
      co_await wait_state(*admin, pid, [](const std::string& s) { return s.empty(); });
    };

    // Killed while idle in the pool: the next request gets a fresh connection.
    auto s1 = db::get_db(pool);
    const int first = co_await pid_of(s1);
    co_await s1.close();
    co_await terminate(first);
    auto s2 = db::get_db(pool);
    const int second = co_await pid_of(s2);
    EXPECT_NE(second, first);

    // Killed in the middle of a transaction: the session reports it, and its commit cannot
    // pretend the earlier work was saved.
    co_await terminate(second);
    std::string state = "none";
    try {
      co_await s2.execute("SELECT 1");
    } catch (const pg::connection_error& e) {
      state = e.sqlstate();
    }
    EXPECT_TRUE(state == "57P01" || state.empty()) << state;
    EXPECT_THROW(co_await s2.commit(), pg::transaction_error);
    EXPECT_THROW(co_await s2.execute("SELECT 1"), pg::transaction_error) << "no silent fresh transaction";
    co_await s2.rollback();
    EXPECT_NE(co_await pid_of(s2), second);
    co_await s2.close();
    EXPECT_EQ(pool.stats().open, 1u);
  });
}

TEST_F(Pool, StatementTimeoutCancelsOnServerAndKeepsTheConnection) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto admin = co_await open(ex, blocking);
    db::pool pool(ex, options(1));
    auto s = db::get_db(pool);
    const int pid = co_await pid_of(s);
    const pg::params none;
    EXPECT_THROW(co_await s.execute("SELECT pg_sleep(5)", none, 200ms), pg::timeout_error);
    const std::string state_now = co_await backend_state(*admin, pid);
    EXPECT_EQ(state_now, "idle in transaction (aborted)");
    co_await s.rollback();
    co_await s.close();
    auto next = db::get_db(pool);
    EXPECT_EQ(co_await pid_of(next), pid) << "the drained connection is reused";
    co_await next.close();
  });
}

TEST_F(Pool, ServerThatGoesAwayGivesConnectionErrorsAndThePoolRecovers) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    tcp_proxy proxy(ex, database_url());
    const std::string via_proxy = proxy.url();
    db::pool pool(ex, options(2, 5s, via_proxy));

    auto idle = db::get_db(pool);
    co_await idle.execute("SELECT 1");
    co_await idle.close();

    auto busy = db::get_db(pool);
    co_await busy.execute("SELECT 1");
    auto cut_later = [&]() -> asio::awaitable<void> {
      co_await sleep_for(200ms);
      proxy.cut();
    };
    auto sleeper = [&]() -> asio::awaitable<void> {
      EXPECT_THROW(co_await busy.execute("SELECT pg_sleep(5)"), pg::connection_error);
    };
    co_await (sleeper() && cut_later());
    EXPECT_THROW(co_await busy.commit(), pg::transaction_error);
    co_await busy.close();

    auto refused = db::get_db(pool);
    EXPECT_THROW(co_await refused.execute("SELECT 1"), pg::connection_error);
    co_await refused.close();

    proxy.resume();
    auto again = db::get_db(pool);
    auto r = co_await again.execute("SELECT 42");
    EXPECT_EQ(r.scalar_one_or_none<int>(), 42);
    co_await again.close();
    EXPECT_EQ(pool.stats().open, 1u);
  });
}

TEST_F(Pool, AbandonedRequestDiscardsItsConnectionAndStopsItsStatement) {
  int pid = 0;
  auto request = [&](db::pool& pool) -> asio::awaitable<void> {
    auto s = db::get_db(pool);
    pid = co_await pid_of(s);
    co_await s.execute("SELECT pg_sleep(5)");
  };
  {
    // Destroyed mid-statement, with its event loop.
    asio::io_context ioc;
    auto owner = [&]() -> asio::awaitable<void> {
      db::pool pool(co_await asio::this_coro::executor, options(1));
      co_await request(pool);
    };
    asio::co_spawn(ioc, owner(), asio::detached);
    ioc.run_for(500ms);
    ASSERT_NE(pid, 0);
  }
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto admin = co_await open(ex, blocking);
    const std::string after_destroy = co_await wait_state(*admin, pid, not_active);
    EXPECT_NE(after_destroy, "active");
    // Cancelled mid-statement by losing a race.
    db::pool pool(ex, options(1));
    co_await (request(pool) || sleep_for(300ms));
    EXPECT_EQ(pool.stats().open, 0u) << "a connection in an unknown state is never reused";
    const std::string after_cancel = co_await wait_state(*admin, pid, not_active);
    EXPECT_NE(after_cancel, "active");
    auto next = db::get_db(pool);
    EXPECT_NE(co_await pid_of(next), pid);
    co_await next.close();
  });
}

}  // namespace

namespace {

// The URL of another database on the same server.
std::string with_database(const std::string& url, const std::string& name) {
  const auto slash = url.rfind('/');
  const auto query = url.find('?', slash);
  return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

}  // namespace

// A read replica that cannot be reached: the pool serves from the fallback (the primary) at
// once, and goes back to the replica once it is there again.
TEST_F(Pool, UnreachableServerFallsBackAndComesBack) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto admin = co_await open(ex, blocking);
    const std::string replica = unique_name("mapsvc_replica");
    const pg::params none;
    // Statements are built before their co_await: g++ 12 destroys temporaries of a co_await
    // expression twice.
    const std::string drop = "DROP DATABASE IF EXISTS " + replica + " WITH (FORCE)";
    const std::string create = "CREATE DATABASE " + replica;
    co_await admin->execute(drop, none);
    auto o = options(2);
    o.conninfo = with_database(database_url(), replica);  // does not exist yet
    o.fallback_conninfo = database_url();
    o.fallback_for = 300ms;
    {
      db::pool pool(ex, o);
      const auto database_of = [&]() -> asio::awaitable<std::string> {
        auto s = db::get_db(pool);
        auto r = co_await s.execute("SELECT current_database() AS name");
        auto name = r[0].get<std::string>("name");
        co_await s.close();
        co_return name;
      };
      const std::string primary = co_await database_of();
      EXPECT_NE(primary, replica);
      EXPECT_EQ(co_await database_of(), primary) << "the fallback connection is reused meanwhile";

      co_await admin->execute(create, none);
      co_await sleep_for(400ms);
      // The fallback connection handed back after the while is closed; the next goes to the replica.
      EXPECT_EQ(co_await database_of(), primary);
      EXPECT_EQ(pool.stats().open, 0u);
      EXPECT_EQ(co_await database_of(), replica);
    }
    // Without a fallback, the failure is the caller's.
    o.fallback_conninfo.clear();
    o.conninfo = with_database(database_url(), replica + "_missing");
    o.fallback_for = 5s;
    db::pool lone(ex, o);
    auto s = db::get_db(lone);
    EXPECT_THROW(co_await s.execute("SELECT 1"), pg::connection_error);
    co_await s.close();
    co_await admin->execute(drop, none);
  });
}
