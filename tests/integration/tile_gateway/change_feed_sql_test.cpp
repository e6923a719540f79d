// The change feed's triggers in a database of their own: what each kind of edit records in
// mapsvc_feed.pending, the wake-up it sends, and installing over an installed feed.
#include <libpq-fe.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "clients/pg/named_params.hpp"
#include "mapsvc/tile_gateway/change_feed_sql.hpp"
#include "support.hpp"

namespace tile_test {
namespace {

namespace tg = mapsvc::tile_gateway;

constexpr const char* FEED_DB = "mapsvc_feed_sql_test";
constexpr const char* WRITER_ROLE = "mapsvc_feed_sql_test_writer";

std::string feed_db_url() {
  const std::string admin = fixture_db::admin_url();
  return admin.substr(0, admin.rfind('/') + 1) + FEED_DB;
}

const tg::layer_record& scratch_layer() {
  static const tg::layer_record layer{R"(feed_scratch."parcels")", R"("id")", R"("GEOM")", {}, 0};
  return layer;
}

// A raw connection, for what pg_admin does not do: parameters, several columns, notifications.
struct raw_conn {
  explicit raw_conn(const std::string& url) : conn(PQconnectdb(url.c_str())) {
    if (PQstatus(conn) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn));
  }
  ~raw_conn() { PQfinish(conn); }
  raw_conn(const raw_conn&) = delete;
  raw_conn& operator=(const raw_conn&) = delete;

  void exec(const char* sql) { PQclear(PQexec(conn, sql)); }
  // Notifications on mapsvc_feed received so far; a query makes the server send those waiting.
  int feed_notifications() {
    exec("SELECT 1");
    int n = 0;
    while (PGnotify* note = PQnotifies(conn)) {
      if (std::string(note->relname) == "mapsvc_feed" && std::string(note->extra).empty()) ++n;
      PQfreemem(note);
    }
    return n;
  }
  PGconn* conn;
};

class ChangeFeed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    {
      pg_admin admin(fixture_db::admin_url());
      admin.exec("SET client_min_messages = warning");
      admin.exec(fmt::format("DROP DATABASE IF EXISTS {} WITH (FORCE)", FEED_DB));
      admin.exec(fmt::format("CREATE DATABASE {}", FEED_DB));
      admin.exec(fmt::format("DROP ROLE IF EXISTS {0}; CREATE ROLE {0} NOLOGIN", WRITER_ROLE));
    }
    pg_admin db(feed_db_url());
    db.exec("CREATE EXTENSION postgis; SET client_min_messages = warning");
    db.exec(R"(CREATE SCHEMA feed_scratch;
               CREATE TABLE feed_scratch.parcels (id int PRIMARY KEY, note text, "GEOM" geometry(Polygon, 3857)))");
    db.exec(std::string(tg::change_feed_schema_sql()));
    db.exec(tg::watch_table_sql(scratch_layer()));
  }
  static void TearDownTestSuite() {
    pg_admin admin(fixture_db::admin_url());
    admin.exec(fmt::format("DROP DATABASE IF EXISTS {} WITH (FORCE)", FEED_DB));
    admin.exec(fmt::format("DROP ROLE IF EXISTS {}", WRITER_ROLE));
  }
  void SetUp() override {
    db.exec("SET client_min_messages = warning");  // installing again says "already exists" at each step
    db.exec("TRUNCATE feed_scratch.parcels; DELETE FROM mapsvc_feed.pending");
  }

  // Pending rows as "table op minx miny maxx maxy", sorted; "-" for a null bound.
  std::vector<std::string> pending() {
    return db.exec(R"(SELECT concat_ws(' ', table_name, op, coalesce(minx::text, '-'), coalesce(miny::text, '-'),
                                       coalesce(maxx::text, '-'), coalesce(maxy::text, '-'))
                      FROM mapsvc_feed.pending ORDER BY 1)");
  }
  std::vector<std::string> take_pending() {
    auto rows = pending();
    db.exec("DELETE FROM mapsvc_feed.pending");
    return rows;
  }
  std::vector<std::string> trigger_oids() {
    return db.exec("SELECT string_agg(oid::text, ',' ORDER BY tgname) FROM pg_trigger "
                   "WHERE tgrelid = 'feed_scratch.parcels'::regclass");
  }

  pg_admin db{feed_db_url()};
};

using rows = std::vector<std::string>;

TEST_F(ChangeFeed, EditsRecordTheDistinctExtentsOfOldAndNewGeometries) {
  // Two rows with one extent, a null and an empty geometry: one extent recorded.
  db.exec(R"(INSERT INTO feed_scratch.parcels VALUES
               (1, 'a', ST_MakeEnvelope(0, 0, 10, 10, 3857)), (2, 'b', ST_MakeEnvelope(0, 0, 10, 10, 3857)),
               (3, 'c', NULL), (4, 'd', 'POLYGON EMPTY'), (5, 'e', ST_MakeEnvelope(40, 40, 50, 60, 3857)))");
  EXPECT_EQ(take_pending(), (rows{"parcels I 0 0 10 10", "parcels I 40 40 50 60"}));

  // Geometry untouched: each extent still once, however many rows share it.
  db.exec("UPDATE feed_scratch.parcels SET note = 'x'");
  EXPECT_EQ(take_pending(), (rows{"parcels U 0 0 10 10", "parcels U 40 40 50 60"}));

  // A geometry moved: where it was and where it is.
  db.exec(R"(UPDATE feed_scratch.parcels SET "GEOM" = ST_MakeEnvelope(20, 20, 30, 30, 3857) WHERE id = 1)");
  EXPECT_EQ(take_pending(), (rows{"parcels U 0 0 10 10", "parcels U 20 20 30 30"}));

  db.exec("DELETE FROM feed_scratch.parcels WHERE id IN (1, 3, 4)");
  EXPECT_EQ(take_pending(), (rows{"parcels D 20 20 30 30"}));
}

TEST_F(ChangeFeed, TruncateRecordsTheWholeTable) {
  db.exec("TRUNCATE feed_scratch.parcels");
  EXPECT_EQ(pending(), (rows{"parcels T - - - -"}));
}

TEST_F(ChangeFeed, RollbacksAndStatementsChangingNoRowRecordNothing) {
  raw_conn listener(feed_db_url());
  listener.exec("LISTEN mapsvc_feed");
  db.exec("BEGIN; INSERT INTO feed_scratch.parcels VALUES (1, 'a', ST_MakeEnvelope(0, 0, 1, 1, 3857)); "
          "TRUNCATE feed_scratch.parcels; ROLLBACK");
  db.exec("UPDATE feed_scratch.parcels SET note = 'x' WHERE id = 1");
  db.exec("DELETE FROM feed_scratch.parcels WHERE id < 0");
  db.exec("INSERT INTO feed_scratch.parcels SELECT 1, 'a', NULL WHERE false");
  EXPECT_EQ(pending(), rows{});
  EXPECT_EQ(listener.feed_notifications(), 0);
}

TEST_F(ChangeFeed, EachCommittedTransactionNotifiesOnce) {
  raw_conn listener(feed_db_url());
  listener.exec("LISTEN mapsvc_feed");
  db.exec(R"(BEGIN;
             INSERT INTO feed_scratch.parcels VALUES (1, 'a', ST_MakeEnvelope(0, 0, 1, 1, 3857));
             UPDATE feed_scratch.parcels SET "GEOM" = ST_MakeEnvelope(5, 5, 6, 6, 3857);
             DELETE FROM feed_scratch.parcels;
             COMMIT)");
  db.exec("TRUNCATE feed_scratch.parcels");
  int seen = 0;
  for (int i = 0; i < 100 && seen < 2; ++i) {
    seen += listener.feed_notifications();
    if (seen < 2) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(seen, 2);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(listener.feed_notifications(), 0);
}

TEST_F(ChangeFeed, InstallingAgainChangesNothingAndKeepsPendingRows) {
  db.exec("INSERT INTO feed_scratch.parcels VALUES (1, 'a', ST_MakeEnvelope(0, 0, 1, 1, 3857))");
  db.exec("INSERT INTO mapsvc_feed.cursor (cache, fence, position) VALUES ('c', 7, 3)");
  const auto ids = db.exec("SELECT string_agg(id::text, ',' ORDER BY id) FROM mapsvc_feed.pending");
  const auto triggers = trigger_oids();

  for (int i = 0; i < 2; ++i) {
    db.exec(std::string(tg::change_feed_schema_sql()));
    db.exec(tg::watch_table_sql(scratch_layer()));
  }
  EXPECT_EQ(db.exec("SELECT string_agg(id::text, ',' ORDER BY id) FROM mapsvc_feed.pending"), ids);
  EXPECT_EQ(db.exec("SELECT cache || ' ' || fence || ' ' || position FROM mapsvc_feed.cursor"), rows{"c 7 3"});
  EXPECT_EQ(trigger_oids(), triggers) << "a trigger already in place is not dropped and made again";

  // A trigger disabled by hand is made again.
  db.exec("ALTER TABLE feed_scratch.parcels DISABLE TRIGGER mapsvc_feed_insert");
  db.exec(tg::watch_table_sql(scratch_layer()));
  EXPECT_NE(trigger_oids(), triggers);
  db.exec("INSERT INTO feed_scratch.parcels VALUES (2, 'b', ST_MakeEnvelope(3, 3, 4, 4, 3857))");
  EXPECT_EQ(pending(), (rows{"parcels I 0 0 1 1", "parcels I 3 3 4 4"}));
}

TEST_F(ChangeFeed, WatchTakesAnyTableNameAndRefusesWhatIsNoGeometry) {
  EXPECT_EQ(tg::watch_table_sql(*tg::LAYER_CONFIG().find("plots")),
            R"(SELECT mapsvc_feed.watch('"PLOT"'::regclass, 'GEOMETRY_3857'))");
  EXPECT_EQ(tg::identifier_name("Geom"), "geom");
  EXPECT_THROW(tg::identifier_name(R"("a"b")"), std::invalid_argument);
  EXPECT_THROW(tg::identifier_name(R"("ab)"), std::invalid_argument);

  // Quotes, a backslash and a space in both names: the literal reaches the function intact.
  const tg::layer_record odd{R"(feed_scratch."It's ""odd"" \n")", R"("id")", R"("Geo ""m""")", {}, 0};
  db.exec(R"(CREATE TABLE feed_scratch."It's ""odd"" \n" (id int, "Geo ""m""" geometry(Point, 3857)))");
  db.exec(tg::watch_table_sql(odd));
  db.exec(R"(INSERT INTO feed_scratch."It's ""odd"" \n" VALUES (1, ST_SetSRID(ST_MakePoint(7, 8), 3857)))");
  EXPECT_EQ(pending(), (rows{R"(It's "odd" \n I 7 8 7 8)"}));

  db.exec(R"(SELECT mapsvc_feed.unwatch('feed_scratch."It''s ""odd"" \n"'))");
  db.exec(R"(TRUNCATE feed_scratch."It's ""odd"" \n")");
  EXPECT_EQ(pending(), (rows{R"(It's "odd" \n I 7 8 7 8)"}));

  EXPECT_THROW(db.exec("SELECT mapsvc_feed.watch('feed_scratch.parcels', 'note')"), std::runtime_error);
  EXPECT_THROW(db.exec("SELECT mapsvc_feed.watch('feed_scratch.parcels', 'geom')"), std::runtime_error);
  db.exec("CREATE TABLE feed_scratch.wgs84 (g geometry(Point, 4326))");
  EXPECT_THROW(db.exec("SELECT mapsvc_feed.watch('feed_scratch.wgs84', 'g')"), std::runtime_error);
  db.exec(R"(DROP TABLE feed_scratch."It's ""odd"" \n", feed_scratch.wgs84)");
}

TEST_F(ChangeFeed, WritersWithoutRightsOnTheFeedAreRecorded) {
  db.exec(fmt::format("GRANT USAGE ON SCHEMA feed_scratch TO {0}; "
                      "GRANT SELECT, INSERT, UPDATE, DELETE, TRUNCATE ON feed_scratch.parcels TO {0}",
                      WRITER_ROLE));
  // A writer's search_path must not decide which functions the triggers call.
  db.exec(fmt::format(R"(BEGIN; SET LOCAL ROLE {};
                         SET LOCAL search_path = feed_scratch, pg_temp;
                         INSERT INTO parcels VALUES (1, 'a', public.ST_MakeEnvelope(0, 0, 1, 1, 3857));
                         TRUNCATE parcels;
                         COMMIT)",
                      WRITER_ROLE));
  EXPECT_EQ(pending(), (rows{"parcels I 0 0 1 1", "parcels T - - - -"}));
  EXPECT_THROW(db.exec(fmt::format("SET ROLE {}; SELECT count(*) FROM mapsvc_feed.pending", WRITER_ROLE)),
               std::runtime_error);
  db.exec("RESET ROLE");
}

TEST_F(ChangeFeed, PresentQueryTellsWatchedUnwatchedAndMissingTables) {
  db.exec("CREATE TABLE feed_scratch.plain (g geometry(Point, 3857))");
  const tg::layer_catalogue layers({{"parcels", scratch_layer()},
                                    {"plain", {"feed_scratch.plain", "id", "g", {}, 0}},
                                    {"gone", {R"("No ""such"" table")", "id", "g", {}, 0}}});
  const auto sql = clients::pg::translate_named_params(tg::CHANGE_FEED_PRESENT_SQL);
  const auto values = clients::pg::bind_params(sql, {{"tables", tg::change_feed_tables(layers)}});
  raw_conn conn(feed_db_url());
  conn.exec("SET client_min_messages = warning");
  const auto present = [&] {
    const char* param = values.at(0)->c_str();
    PGresult* r = PQexecParams(conn.conn, sql.text.c_str(), 1, nullptr, &param, nullptr, nullptr, 0);
    EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQresultErrorMessage(r);
    rows out;
    for (int c = 0; c < PQnfields(r) && PQntuples(r) == 1; ++c) out.emplace_back(PQgetvalue(r, 0, c));
    PQclear(r);
    return out;
  };
  EXPECT_EQ(present(), (rows{"t", R"(feed_scratch."parcels")", "feed_scratch.plain", R"("No ""such"" table")"}));

  conn.exec("BEGIN; ALTER TABLE feed_scratch.parcels DISABLE TRIGGER mapsvc_feed_delete");
  EXPECT_EQ(present().at(1), "");
  conn.exec("ROLLBACK; BEGIN; DROP SCHEMA mapsvc_feed CASCADE");
  EXPECT_EQ(present(), (rows{"f", "", R"(feed_scratch."parcels", feed_scratch.plain)", R"("No ""such"" table")"}));
  conn.exec("ROLLBACK");
  db.exec("DROP TABLE feed_scratch.plain");
}

}  // namespace
}  // namespace tile_test
