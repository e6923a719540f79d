-- The tile change feed: every committed insert, update, delete and truncate of a watched
-- table leaves rows in mapsvc_feed.pending (the extents its edit touched) in the same
-- transaction, and a NOTIFY on channel mapsvc_feed wakes the servers that apply them.
-- Idempotent: running it again changes nothing and keeps every pending row. Tables are
-- watched with mapsvc_feed.watch(table, geometry column), which the installer calls.
-- Run it in one transaction (PQexec of the whole file, or psql --single-transaction).

-- Two installers at once would fight over the catalogue rows created below. Taken before any
-- table lock, here and wherever this file is included, so that installers cannot deadlock.
DO $do$ BEGIN PERFORM pg_advisory_xact_lock(hashtext('mapsvc_feed install')); END $do$;

CREATE SCHEMA IF NOT EXISTS mapsvc_feed;

-- Changes not yet applied to the cache. One row per distinct extent of an old or new geometry
-- of a changed row; all four extent columns null = the whole table changed (TRUNCATE, reload).
CREATE TABLE IF NOT EXISTS mapsvc_feed.pending (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  table_name text NOT NULL,
  op "char" NOT NULL,
  minx double precision, miny double precision, maxx double precision, maxy double precision,
  recorded_at timestamptz NOT NULL DEFAULT clock_timestamp());

-- Changes applied, kept for a while.
CREATE SEQUENCE IF NOT EXISTS mapsvc_feed.position_seq;
CREATE TABLE IF NOT EXISTS mapsvc_feed.history (
  position bigint PRIMARY KEY,
  table_name text NOT NULL, op "char" NOT NULL,
  minx double precision, miny double precision, maxx double precision, maxy double precision,
  recorded_at timestamptz NOT NULL, processed_at timestamptz NOT NULL DEFAULT now());
CREATE INDEX IF NOT EXISTS history_processed_at_idx ON mapsvc_feed.history (processed_at);

-- Where each tile cache stands in the history: one row per cache (a Redis deployment, named by
-- the id it keeps under mapsvc:feed:cache), so that several caches on one database each apply
-- every change. `fence` grows with every lease taken on that cache; a holder whose fence is
-- outdated may not move the position.
CREATE TABLE IF NOT EXISTS mapsvc_feed.cursor (
  cache text PRIMARY KEY,
  fence bigint NOT NULL,
  position bigint NOT NULL,
  updated_at timestamptz NOT NULL DEFAULT now());
-- The single consumer's fence of earlier versions; cursors replace it.
DROP TABLE IF EXISTS mapsvc_feed.consumer;

-- Fired once per statement with its transition tables; the geometry column is TG_ARGV[0].
-- SECURITY DEFINER so that any role allowed to edit a layer table is recorded without rights
-- on mapsvc_feed; its search_path is pinned below, so a writer cannot redirect what it calls.
CREATE OR REPLACE FUNCTION mapsvc_feed.record_changes() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER AS $fn$
DECLARE
  geom text := TG_ARGV[0];
  changed_rows text;
  recorded bigint;
BEGIN
  IF TG_OP = 'TRUNCATE' THEN
    INSERT INTO mapsvc_feed.pending (table_name, op) VALUES (TG_TABLE_NAME, 'T');
    PERFORM pg_notify('mapsvc_feed', '');
    RETURN NULL;
  END IF;
  changed_rows := CASE TG_OP
    WHEN 'INSERT' THEN format('SELECT %I AS g FROM mapsvc_feed_new', geom)
    WHEN 'DELETE' THEN format('SELECT %I AS g FROM mapsvc_feed_old', geom)
    ELSE format('SELECT %1$I AS g FROM mapsvc_feed_old UNION ALL SELECT %1$I FROM mapsvc_feed_new', geom)
  END;
  -- Null and empty geometries have no box and draw nothing: skipped, as null bounds would
  -- read as "the whole table". One box per geometry, not one per bound.
  EXECUTE format(
    'INSERT INTO mapsvc_feed.pending (table_name, op, minx, miny, maxx, maxy)
     SELECT DISTINCT $1, $2, ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b)
     FROM (SELECT Box3D(g) AS b FROM (%s) AS changed) AS boxes WHERE b IS NOT NULL', changed_rows)
    USING TG_TABLE_NAME, left(TG_OP, 1)::"char";
  GET DIAGNOSTICS recorded = ROW_COUNT;
  IF recorded > 0 THEN
    PERFORM pg_notify('mapsvc_feed', '');  -- the same notification twice in a transaction is sent once
  END IF;
  RETURN NULL;
END
$fn$;

-- True when `tbl` has trigger `trigger_name` exactly as watch() makes it (enabled, on the
-- right events, transition tables and geometry column).
CREATE OR REPLACE FUNCTION mapsvc_feed.has_trigger(tbl regclass, trigger_name name, trigger_type int2, geom_col text,
                                                   old_table name, new_table name) RETURNS boolean
LANGUAGE sql STABLE AS $fn$
  SELECT EXISTS (
    SELECT 1 FROM pg_catalog.pg_trigger t
    WHERE t.tgrelid = tbl AND t.tgname = trigger_name AND t.tgtype = trigger_type
      AND t.tgfoid = 'mapsvc_feed.record_changes()'::pg_catalog.regprocedure AND t.tgenabled = 'O'
      AND t.tgnargs = 1
      AND t.tgargs = pg_catalog.convert_to(geom_col, pg_catalog.getdatabaseencoding()) || pg_catalog.decode('00', 'hex')
      AND t.tgqual IS NULL AND pg_catalog.cardinality(t.tgattr::int2[]) = 0
      AND t.tgoldtable IS NOT DISTINCT FROM old_table AND t.tgnewtable IS NOT DISTINCT FROM new_table)
$fn$;

-- The triggers watch() keeps on a table: name, pg_trigger.tgtype (statement level, AFTER), event,
-- transition tables.
CREATE OR REPLACE FUNCTION mapsvc_feed.trigger_kinds()
RETURNS TABLE (trigger_name name, trigger_type int2, event text, old_table name, new_table name)
LANGUAGE sql IMMUTABLE AS $fn$
  VALUES ('mapsvc_feed_insert'::name, 4::int2, 'INSERT', NULL::name, 'mapsvc_feed_new'::name),
         ('mapsvc_feed_update', 16, 'UPDATE', 'mapsvc_feed_old', 'mapsvc_feed_new'),
         ('mapsvc_feed_delete', 8, 'DELETE', 'mapsvc_feed_old', NULL),
         ('mapsvc_feed_truncate', 32, 'TRUNCATE', NULL, NULL)
$fn$;

-- (Re)creates the four triggers of `tbl`. A trigger already as wanted is left alone: dropping
-- one locks the table against its readers.
CREATE OR REPLACE FUNCTION mapsvc_feed.watch(tbl regclass, geom_col text) RETURNS void
LANGUAGE plpgsql AS $fn$
DECLARE
  schema_name name;
  relation_name name;
  srid integer;
  kind record;
BEGIN
  SELECT n.nspname, c.relname INTO schema_name, relation_name
  FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = tbl;
  SELECT postgis_typmod_srid(a.atttypmod) INTO srid
  FROM pg_attribute a JOIN pg_type ty ON ty.oid = a.atttypid
  WHERE a.attrelid = tbl AND a.attname = geom_col AND a.attnum > 0 AND NOT a.attisdropped AND ty.typname = 'geometry';
  IF NOT FOUND THEN
    RAISE EXCEPTION 'mapsvc_feed.watch: % has no geometry column %', tbl, quote_ident(geom_col);
  END IF;
  -- Extents are recorded in EPSG:3857; a column without a declared SRID is taken to hold it.
  IF srid NOT IN (0, 3857) THEN
    RAISE EXCEPTION 'mapsvc_feed.watch: %.% holds SRID %, not 3857', tbl, quote_ident(geom_col), srid;
  END IF;
  FOR kind IN SELECT * FROM mapsvc_feed.trigger_kinds() LOOP
    CONTINUE WHEN mapsvc_feed.has_trigger(tbl, kind.trigger_name, kind.trigger_type, geom_col,
                                          kind.old_table, kind.new_table);
    IF EXISTS (SELECT 1 FROM pg_trigger t WHERE t.tgrelid = tbl AND t.tgname = kind.trigger_name) THEN
      EXECUTE format('DROP TRIGGER %I ON %I.%I', kind.trigger_name, schema_name, relation_name);
    END IF;
    EXECUTE format('CREATE TRIGGER %I AFTER %s ON %I.%I %s FOR EACH STATEMENT EXECUTE FUNCTION mapsvc_feed.record_changes(%L)',
                   kind.trigger_name, kind.event, schema_name, relation_name,
                   CASE WHEN kind.old_table IS NULL AND kind.new_table IS NULL THEN ''
                        ELSE 'REFERENCING'
                             || CASE WHEN kind.old_table IS NULL THEN '' ELSE format(' OLD TABLE AS %I', kind.old_table) END
                             || CASE WHEN kind.new_table IS NULL THEN '' ELSE format(' NEW TABLE AS %I', kind.new_table) END
                   END,
                   geom_col);
  END LOOP;
END
$fn$;

CREATE OR REPLACE FUNCTION mapsvc_feed.unwatch(tbl regclass) RETURNS void
LANGUAGE plpgsql AS $fn$
DECLARE
  schema_name name;
  relation_name name;
  kind record;
BEGIN
  SELECT n.nspname, c.relname INTO schema_name, relation_name
  FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = tbl;
  FOR kind IN SELECT k.* FROM mapsvc_feed.trigger_kinds() k
              JOIN pg_trigger t ON t.tgrelid = tbl AND t.tgname = k.trigger_name LOOP
    EXECUTE format('DROP TRIGGER %I ON %I.%I', kind.trigger_name, schema_name, relation_name);
  END LOOP;
END
$fn$;

-- PostGIS is called by name from these functions: pin their search_path to its schema, so
-- that neither a writer's nor the installer's search_path decides what runs.
DO $do$
DECLARE
  postgis_schema name;
BEGIN
  SELECT n.nspname INTO postgis_schema
  FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace WHERE e.extname = 'postgis';
  IF postgis_schema IS NULL THEN
    RAISE EXCEPTION 'the change feed needs the postgis extension in this database';
  END IF;
  EXECUTE format('ALTER FUNCTION mapsvc_feed.record_changes() SET search_path = pg_catalog, %I, pg_temp', postgis_schema);
  EXECUTE format('ALTER FUNCTION mapsvc_feed.watch(regclass, text) SET search_path = pg_catalog, %I, pg_temp', postgis_schema);
  ALTER FUNCTION mapsvc_feed.unwatch(regclass) SET search_path = pg_catalog, pg_temp;
END
$do$;
