-- Synthetic cadastre loader, run by scripts/demo-data through psql with the variables
-- seed, plots, if_empty and schema_only. Everything runs in one session so that the
-- advisory lock covers the emptiness check as well as the load.

\set ON_ERROR_STOP 1
CREATE EXTENSION IF NOT EXISTS postgis;

-- Two loaders on one database would fight over the build schema; the second one waits.
SELECT pg_advisory_lock(hashtext('mapsvc demo-data')) AS locked \gset

\if :if_empty
  -- Two steps: a query naming a missing table fails even behind a false condition.
  SELECT to_regclass('public."PLOT"') IS NOT NULL AS plot_table_exists \gset
  \if :plot_table_exists
    SELECT EXISTS (SELECT 1 FROM public."PLOT") AS already_loaded \gset
    \if :already_loaded
      \echo 'demo-data: "PLOT" already holds rows; nothing loaded'
      \q
    \endif
  \endif
\endif

-- The generating statements are long expressions over few rows at a time: compiling them
-- costs far more than it saves.
SET jit = off;
SET work_mem = '256MB';
SET maintenance_work_mem = '512MB';

DROP SCHEMA IF EXISTS demo_build CASCADE;
CREATE SCHEMA demo_build;
\ir demo_schema.sql

\if :schema_only
  \echo 'demo-data: creating empty tables'
\else
  \echo 'demo-data: laying out' :plots 'plots with seed' :seed
  \ir demo_layout.sql
  \echo 'demo-data: areas, plots, beacons and roads'
  \ir demo_fill.sql
\endif

\ir demo_swap.sql
SELECT pg_advisory_unlock(hashtext('mapsvc demo-data')) AS unlocked \gset
