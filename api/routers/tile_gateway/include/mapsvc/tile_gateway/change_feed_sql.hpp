#pragma once
// The database side of the tile change feed as SQL text: the schema that records every edit
// of a watched table in mapsvc_feed.pending, the call that watches one layer's table, and the
// start-up check. Text only; running it is the caller's.

#include <string>
#include <string_view>

#include "mapsvc/tile_gateway/catalogue.hpp"

namespace mapsvc::tile_gateway {

// sql/change_feed.sql: schema mapsvc_feed with its tables and functions. Several statements:
// send it whole with the simple query protocol (PQexec), which runs them in one transaction.
// Idempotent: running it again changes nothing and keeps every pending row.
std::string_view change_feed_schema_sql();

// `SELECT mapsvc_feed.watch('"PLOT"'::regclass, 'GEOMETRY_3857')` for `layer`: its table as a
// literal read as regclass, its geometry column as the bare name. Throws std::invalid_argument
// when the table or column is not a well-formed identifier (NUL byte, stray double quote).
std::string watch_table_sql(const layer_record& layer);

// The column name a catalogue identifier stands for: `"GEOMETRY_3857"` is GEOMETRY_3857
// (doubled quotes undone), an unquoted `Geom` is geom, as PostgreSQL folds it.
std::string identifier_name(std::string_view identifier);

// Gives up to :limit pending changes their positions in mapsvc_feed.history, in the order they
// were recorded. Run MOVE_LOCK_SQL first in the same transaction: one mover at a time, so that
// positions become visible in their order (a reader that saw up to P never sees a smaller
// position appear later).
inline constexpr std::string_view MOVE_LOCK_SQL = "SELECT pg_advisory_xact_lock(hashtext('mapsvc_feed move'))";
inline constexpr std::string_view MOVE_PENDING_SQL =
    "WITH moved AS (DELETE FROM mapsvc_feed.pending WHERE id IN "
    "(SELECT id FROM mapsvc_feed.pending ORDER BY id LIMIT :limit) "
    "RETURNING id, table_name, op, minx, miny, maxx, maxy, recorded_at) "
    "INSERT INTO mapsvc_feed.history (position, table_name, op, minx, miny, maxx, maxy, recorded_at) "
    "SELECT nextval('mapsvc_feed.position_seq'), table_name, op, minx, miny, maxx, maxy, recorded_at "
    "FROM (SELECT * FROM moved ORDER BY id) AS ordered";

// One row: `installed` (boolean: schema, tables and trigger function are there) and, of the
// tables named in :tables, those carrying all four enabled feed triggers (`watched`), those
// without (`unwatched`) and those that do not exist (`missing`); each a text listing the
// catalogue's identifiers in catalogue order, ", " between, "" for none.
inline constexpr std::string_view CHANGE_FEED_PRESENT_SQL =
    "SELECT to_regclass('mapsvc_feed.pending') IS NOT NULL\n"
    "         AND to_regprocedure('mapsvc_feed.record_changes()') IS NOT NULL AS installed,\n"
    "       coalesce(string_agg(t.name, ', ' ORDER BY t.ord) FILTER (WHERE s.state = 'watched'), '') AS watched,\n"
    "       coalesce(string_agg(t.name, ', ' ORDER BY t.ord) FILTER (WHERE s.state = 'unwatched'), '') AS unwatched,\n"
    "       coalesce(string_agg(t.name, ', ' ORDER BY t.ord) FILTER (WHERE s.state = 'missing'), '') AS missing\n"
    "FROM json_array_elements_text(:tables::json) WITH ORDINALITY AS t(name, ord)\n"
    "CROSS JOIN LATERAL (\n"
    "  SELECT CASE WHEN to_regclass(t.name) IS NULL THEN 'missing'\n"
    "              WHEN (SELECT count(*) FROM pg_catalog.pg_trigger g\n"
    "                    WHERE g.tgrelid = to_regclass(t.name)\n"
    "                      AND g.tgfoid = to_regprocedure('mapsvc_feed.record_changes()')\n"
    "                      AND g.tgenabled IN ('O', 'A')\n"
    "                      AND g.tgname IN ('mapsvc_feed_insert', 'mapsvc_feed_update', 'mapsvc_feed_delete',\n"
    "                                       'mapsvc_feed_truncate')) = 4 THEN 'watched'\n"
    "              ELSE 'unwatched' END AS state) AS s";

// The :tables parameter of CHANGE_FEED_PRESENT_SQL: a JSON array of the tables of `layers`.
std::string change_feed_tables(const layer_catalogue& layers);

}  // namespace mapsvc::tile_gateway
