// The connection on its own: decoding, binary data, errors, time-outs.
#include "support.hpp"

#include <clients/pg/connection.hpp>
#include <clients/pg/errors.hpp>

#include <array>
#include <cmath>
#include <limits>

namespace {

namespace pg = clients::pg;
using namespace pgtest;

class Connection : public ::testing::Test {
 protected:
  asio::thread_pool blocking{1};
};

TEST_F(Connection, ByteaArrivesAsRawBytesAndNullIsToldApartFromEmpty) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto c = co_await open(ex, blocking);
    std::string every, hex = "\\x";
    for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
    for (unsigned char ch : every) hex += {"0123456789abcdef"[ch >> 4], "0123456789abcdef"[ch & 15]};
    std::string mib;
    for (int i = 0; i < 4096; ++i) mib += every;

    const std::string all = "string_agg(set_byte('\\x00'::bytea, 0, i), ''::bytea ORDER BY i)";
    const std::string sql = "SELECT " + all + " AS b FROM generate_series(0, 255) i";
    auto small = co_await c->execute(sql);
    EXPECT_EQ(small[0].bytes("b"), every);
    EXPECT_EQ(small[0].get<std::string>("b"), every);
    const std::string big_sql = "SELECT string_agg(b, ''::bytea) AS b FROM (" + sql + ") s, generate_series(1, 4096)";
    auto big = co_await c->execute(big_sql);
    EXPECT_TRUE(big[0].bytes("b") == mib) << "1 MiB bytea altered, size " << big[0].bytes("b").size();

    // Bytes go in as the server's hex text and come back unchanged.
    pg::params p{{"data", hex}, {"none", pg::value{}}, {"empty", std::string()}};
    auto r = co_await c->execute(
        "SELECT :data::bytea AS b, length(:data::bytea) AS n, NULL::text AS nt, ''::text AS et, NULL::bytea AS nb, "
        "''::bytea AS eb, :none::text AS np, :empty::text AS ep",
        p);
    const auto row = r[0];
    EXPECT_EQ(row.bytes("b"), every);
    EXPECT_EQ(row.get<std::int32_t>("n"), 256);
    EXPECT_TRUE(row.is_null("nt"));
    EXPECT_FALSE(row.is_null("et"));
    EXPECT_TRUE(row.is_null("nb"));
    EXPECT_FALSE(row.is_null("eb"));
    EXPECT_TRUE(row.is_null("np"));
    EXPECT_EQ(row.get_optional<std::string>("ep"), std::string());
    EXPECT_EQ(row.get_optional<std::string>("np"), std::nullopt);
    EXPECT_THROW(row.get<std::string>("nt"), pg::result_error);
    auto null_only = co_await c->execute("SELECT NULL::text");
    EXPECT_EQ(null_only.scalar_one_or_none<std::string>(), std::nullopt);
  });
}

TEST_F(Connection, DecodesEachTypeFromBinaryAndParametersRoundTrip) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto c = co_await open(ex, blocking);
    const double x = -20037508.342789244;
    pg::params p{{"big", std::numeric_limits<std::int64_t>::min()},
                 {"x", x},
                 {"inf", std::numeric_limits<double>::infinity()},
                 {"flag", false},
                 {"s", std::string("it's :not a param")}};
    auto r = co_await c->execute(
        "SELECT true AS b, (-32768)::int2 AS i2, (-2147483648)::int4 AS i4, 9223372036854775807::int8 AS i8, "
        "1.5::float4 AS f4, 0.1::float8 AS f8, 'NaN'::float8 AS nan, (-1.50)::numeric(5,2) AS n, "
        "'Grüße ☃'::text AS t, 'ab'::varchar AS v, 'ab'::char(4) AS bp, 'x'::name AS nm, "
        "'{\"a\": [1, 2]}'::jsonb AS jb, :big::int8 AS pbig, :x::float8 AS px, :inf::float8 AS pinf, "
        ":flag::bool AS pflag, :s AS ps, ST_XMin(ST_MakeEnvelope(:x, 0, 0, 1, 3857)) AS env, "
        "\"Mixed Case\" FROM (SELECT 7 AS \"Mixed Case\") s",
        p);
    const auto row = *r.first();
    EXPECT_TRUE(row.get<bool>("b"));
    EXPECT_EQ(row.get<std::int16_t>("i2"), -32768);
    EXPECT_EQ(row.get<std::int64_t>("i4"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(row.get<std::int64_t>("i8"), std::numeric_limits<std::int64_t>::max());
    EXPECT_THROW(row.get<std::int32_t>("i8"), pg::result_error);
    EXPECT_EQ(row.get<double>("f4"), 1.5);
    EXPECT_EQ(row.get<double>("f8"), 0.1);
    EXPECT_TRUE(std::isnan(row.get<double>("nan")));
    EXPECT_EQ(row.get<std::string>("n"), "-1.50");
    EXPECT_EQ(row.get<double>("n"), -1.5);
    EXPECT_EQ(row.get<std::string>("t"), "Grüße ☃");
    EXPECT_EQ(row.get<std::string_view>("v"), "ab");
    EXPECT_EQ(row.get<std::string>("bp"), "ab  ");
    EXPECT_EQ(row.get<std::string>("nm"), "x");
    EXPECT_EQ(row.get<std::string>("jb"), "{\"a\": [1, 2]}");
    EXPECT_EQ(row.get<std::int64_t>("pbig"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(row.get<double>("px"), x);
    EXPECT_EQ(row.get<double>("pinf"), std::numeric_limits<double>::infinity());
    EXPECT_FALSE(row.get<bool>("pflag"));
    EXPECT_EQ(row.get<std::string>("ps"), "it's :not a param");
    EXPECT_EQ(row.get<double>("env"), x);
    EXPECT_EQ(row.get<std::int32_t>("Mixed Case"), 7);
    EXPECT_EQ(row.get<std::int32_t>(row.size() - 1), 7);
    EXPECT_THROW(row.get<bool>("t"), pg::result_error);
    EXPECT_THROW(row.get<std::string>("i4"), pg::result_error);
    try {
      row.get<int>("mixed case");
      ADD_FAILURE() << "label lookup should be exact";
    } catch (const std::out_of_range& e) {
      EXPECT_NE(std::string(e.what()).find("'mixed case'"), std::string::npos) << e.what();
    }
    EXPECT_THROW(row.get<int>(std::size_t{99}), std::out_of_range);
  });
}

TEST_F(Connection, ServerErrorsCarrySqlstateInTheFamily) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto c = co_await open(ex, blocking);
    const std::vector<std::array<const char*, 3>> cases{{"SELEC 1", "42601", nullptr},
                                                        {"SELECT 1/0", "22012", "division by zero"},
                                                        {"SELECT no_such_column FROM pg_class", "42703", nullptr}};
    for (const auto& [sql, state, message] : cases) {
      try {
        co_await c->execute(sql);
        ADD_FAILURE() << "no error for " << sql;
      } catch (const pg::statement_error& e) {
        const pg::error& in_family = e;
        EXPECT_EQ(e.sqlstate(), state) << sql;
        EXPECT_EQ(std::string(in_family.what()), message ? message : e.what());
        EXPECT_FALSE(std::string(e.what()).empty());
      }
    }
    // Refused before sending: the connection stays usable.
    pg::params none;
    bool refused = false;
    try {
      co_await c->execute("SELECT :missing", none);
    } catch (const pg::statement_error& e) {
      refused = std::string(e.what()).find("missing") != std::string::npos;
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(c->usable());
    auto r = co_await c->execute("SELECT 1 AS one");
    EXPECT_EQ(r.scalar_one_or_none<std::int32_t>(), 1);
    auto many = co_await c->execute("SELECT generate_series(1, 2)");
    EXPECT_THROW(many.scalar_one_or_none(), pg::result_error);
    EXPECT_TRUE(many.first().has_value());
    auto none_rows = co_await c->execute("SELECT 1 WHERE false");
    EXPECT_FALSE(none_rows.scalar_one_or_none().has_value());
    EXPECT_FALSE(none_rows.first().has_value());
  });
}

TEST_F(Connection, TimeoutCancelsOnTheServerAndLeavesTheConnectionUsable) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto c = co_await open(ex, blocking);
    auto admin = co_await open(ex, blocking);
    const int pid = c->backend_pid();
    const auto t0 = std::chrono::steady_clock::now();
    bool timed_out = false;
    const pg::params none;
    const pg::execute_options short_limit{200ms, {}}, long_limit{2s, {}};
    try {
      co_await c->execute("SELECT pg_sleep(5)", none, short_limit);
    } catch (const pg::timeout_error& e) {
      timed_out = std::string(e.what()) == "statement timed out";
    }
    EXPECT_TRUE(timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    const std::string state_now = co_await backend_state(*admin, pid);
    EXPECT_EQ(state_now, "idle");
    EXPECT_TRUE(c->usable());
    // A statement that beats its time-out is unaffected.
    auto quick = co_await c->execute("SELECT 3", none, long_limit);
    EXPECT_EQ(quick.scalar_one_or_none<int>(), 3);
  });
}

TEST_F(Connection, ConnectFailuresAreConnectionErrors) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    // A listener that never accepts: the start-up exchange never ends.
    asio::ip::tcp::acceptor silent(ex, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const std::string url = "postgresql://postgres@127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/x";
    pg::connection c(ex, blocking.get_executor());
    const auto t0 = std::chrono::steady_clock::now();
    try {
      std::string silent_url = url + "?sslmode=disable";
      co_await c.connect(std::move(silent_url), 300ms);
      ADD_FAILURE() << "connected to nothing";
    } catch (const pg::connection_error& e) {
      EXPECT_NE(std::string(e.what()).find("timeout"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_FALSE(c.usable());
    silent.close();
    std::string closed_url = url;
    EXPECT_THROW(co_await c.connect(std::move(closed_url), 2s), pg::connection_error);
    std::string good = database_url();
    co_await c.connect(std::move(good), 5s);
    EXPECT_TRUE(c.usable());
  });
}

// Several hosts, the first one down (a read replica gone): libpq closes the refused socket and
// opens the next host's, usually under the same descriptor number, and the connect must go on
// at once rather than wait out its time-out.
TEST_F(Connection, MultiHostUrlMovesOnFromARefusingHost) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    const std::string url = database_url();  // postgresql://user@host:port/db[?...]
    const auto at = url.find('@');
    const auto slash = url.find('/', at);
    EXPECT_TRUE(at != std::string::npos && slash != std::string::npos) << url;
    if (at == std::string::npos || slash == std::string::npos) co_return;
    // A port nothing listens on: bound, read, closed.
    asio::ip::tcp::acceptor probe(ex, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const std::string refusing = "127.0.0.1:" + std::to_string(probe.local_endpoint().port());
    probe.close();
    for (int round = 0; round < 3; ++round) {
      pg::connection c(ex, blocking.get_executor());
      std::string both = url.substr(0, at + 1) + refusing + "," + url.substr(at + 1);
      const auto t0 = std::chrono::steady_clock::now();
      co_await c.connect(std::move(both), 4s);
      EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "round " << round;
      auto r = co_await c.execute("SELECT 1 AS one");
      EXPECT_EQ(r[0].get<int>("one"), 1);
    }
  });
}

}  // namespace

// Statements with parameters prepared once per connection: run by name afterwards, errors
// of the first Parse reported like any other, and a statement whose tables changed shape, or
// whose first run timed out, prepared afresh rather than failing from then on.
TEST_F(Connection, PreparedStatementsAreReusedAndRecoverFromChanges) {
  run_async([&](asio::any_io_executor ex) -> asio::awaitable<void> {
    auto c = co_await open(ex, blocking);
    c->prepare_statements(5);
    const std::string table = unique_name("prep");
    const std::string create = "CREATE TABLE " + table + " (id int, a text)";
    const std::string fill = "INSERT INTO " + table + " VALUES (1, 'one')";
    co_await c->execute(create);
    co_await c->execute(fill);
    auto held = [&]() -> asio::awaitable<std::int64_t> {
      auto r = co_await c->execute("SELECT count(*) AS n FROM pg_prepared_statements");
      co_return r[0].get<std::int64_t>("n");
    };

    const std::string select = "SELECT * FROM " + table + " WHERE id = :id";
    const pg::params id{{"id", std::int64_t{1}}};
    for (int i = 0; i < 3; ++i) {
      auto r = co_await c->execute(select, id);
      EXPECT_EQ(r[0].get<std::string>("a"), "one");
    }
    EXPECT_EQ(co_await held(), 1);

    // A bad statement: the Parse's own error, nothing held, the connection fine.
    try {
      co_await c->execute("SELECT no_such_column FROM " + table + " WHERE id = :id", id);
      ADD_FAILURE() << "no error";
    } catch (const pg::statement_error& e) {
      EXPECT_EQ(e.sqlstate(), "42703");
    }
    EXPECT_TRUE(c->usable());
    EXPECT_EQ(co_await held(), 1);

    // The table changes shape: the held plan cannot answer once, then it is prepared anew.
    const std::string alter = "ALTER TABLE " + table + " ADD COLUMN b int DEFAULT 7";
    co_await c->execute(alter);
    try {
      co_await c->execute(select, id);
    } catch (const pg::statement_error& e) {
      EXPECT_EQ(e.sqlstate(), "0A000") << e.what();
    }
    auto again = co_await c->execute(select, id);
    EXPECT_EQ(again[0].get<std::int32_t>("b"), 7);

    // First run timed out: the next run still works (a fresh name, never a clash).
    const pg::execute_options short_limit{150ms, {}};
    const pg::params sleep{{"s", 5.0}};
    EXPECT_THROW(co_await c->execute("SELECT pg_sleep(:s)", sleep, short_limit), pg::timeout_error);
    const pg::params nap{{"s", 0.0}};
    co_await c->execute("SELECT pg_sleep(:s)", nap);

    // Past the limit of names, statements go unnamed and still work.
    const pg::params x{{"x", std::int64_t{5}}};
    for (int i = 1; i <= 4; ++i) {
      const std::string add = "SELECT :x::int8 + " + std::to_string(i) + " AS y";
      auto r = co_await c->execute(add, x);
      EXPECT_EQ(r[0].get<std::int64_t>("y"), 5 + i);
    }
    EXPECT_LE(co_await held(), 5);

    // A new connection on the same object starts with nothing held.
    std::string url = database_url();
    co_await c->connect(std::move(url), 10s);
    c->prepare_statements(3);
    co_await c->execute(select, id);
    EXPECT_EQ(co_await held(), 1);
    const std::string drop = "DROP TABLE " + table;
    co_await c->execute(drop);
  });
}
