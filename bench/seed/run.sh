#!/usr/bin/env bash
# Cache seeding and offline packages: mapsvc-tiles seed and export over the demo area (plots,
# z14-z18) at concurrency 4 and 8, against pgbench running the same tile statements over the
# same tiles (print_tile_sql, prepared as the tools prepare them) at the same concurrency, in
# the same run, with every process on both cores and with PostgreSQL on a core of its own; the
# ETA of a longer seed against its real end; a resume after kill -9 at about half way
# (statements run again, counted by the database); deltas: the size of `export --since` after
# 1 % of the plots changed (three kinds of edit, both formats), and whether applying it gives a
# fresh export's tiles; and the peak memory of writing a package of a million tiles.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
export REDIS_DB=${SEED_BENCH_REDIS_DB:-12}
seed_bin="$BUILD_DIR/bin/mapsvc-tiles"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zooms=14-18
clear_cache() { redis-cli -p "$REDIS_PORT" -n "$REDIS_DB" --scan --pattern 'mvt_v8:*' | xargs -r -n 500 redis-cli -p "$REDIS_PORT" -n "$REDIS_DB" DEL >/dev/null; }

# pgbench runs the tile statements over exactly the tiles the walk builds: the tiles of the first
# zoom in the plots' extent, and the children of every non-empty tile (taken from an export).
"$seed_bin" export --zoom "$zooms" --layers plots -o "$work/walk.mbtiles" >/dev/null 2>&1
read -r minx miny maxx maxy <<<"$(psql "$DATABASE_URL" -Atc \
  'SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM (SELECT ST_Extent("GEOMETRY_3857") e FROM "PLOT") q' | tr '|' ' ')"
sqlite3 -separator ' ' "$work/walk.mbtiles" 'SELECT zoom_level, tile_column, tile_row FROM tiles' |
  node bench/seed/seed.js walk "$work" "$zooms" "$minx" "$miny" "$maxx" "$maxy"
psql "$DATABASE_URL" -qc "DROP SCHEMA IF EXISTS bench_seed CASCADE; CREATE SCHEMA bench_seed"
scripts=()
walk_tiles=0
for z in $(seq "${zooms%-*}" "${zooms#*-}"); do
  n=$(wc -l <"$work/walk$z.csv")
  walk_tiles=$((walk_tiles + n))
  psql "$DATABASE_URL" -qc "CREATE TABLE bench_seed.z$z (i int PRIMARY KEY, min_x float8, min_y float8, max_x float8, max_y float8)" \
    -c "\\copy bench_seed.z$z FROM '$work/walk$z.csv' CSV"
  sql=$("$BUILD_DIR/bin/print_tile_sql" plots "$z" | sed 's/;[[:space:]]*$//')
  cat >"$work/z$z.pgbench" <<PGB
\\set i random(1, $n)
SELECT min_x, min_y, max_x, max_y FROM bench_seed.z$z WHERE i = :i \\gset
$sql;
PGB
  scripts+=(-f "$work/z$z.pgbench@$n")
done

echo "## Cache seeding: plots z$zooms over the demo extent ($(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1 /proc/loadavg))"
echo
echo "The walk builds $walk_tiles tiles. pgbench runs the tile statement over the same tiles (one"
echo "script per zoom, weighted by its tiles; each transaction looks up its tile's bounds first),"
echo "prepared as the tools and the server prepare it, 15 s per round; seed and export: the median"
echo "of three runs (rates over the walk, start-up excluded). Two settings: every process on both"
echo "cores, and PostgreSQL alone on core 1 with the clients (the tool or pgbench, and Redis) on"
echo "core 0, where the database's pace is what is compared."
rate_of() { sed -n 's/.*(\([0-9]*\) tiles\/s).*/\1/p' "$1"; }
ratio() { calc %.2f "$1 / $2"; }

redis_pid=$(cat "$MAPSVC_REDIS_PID_FILE")
pin() {  # CORES_FOR_POSTGRESQL CORES_FOR_REDIS
  pin_postgres "$1"
  taskset -a -p -c "$2" "$redis_pid" >/dev/null
}
trap 'pin 0-1 0-1; psql "$DATABASE_URL" -qc "DROP SCHEMA IF EXISTS bench_seed CASCADE" >/dev/null 2>&1; rm -rf "$work"' EXIT

rates() {  # CLIENT_PREFIX: a command prefix for the tools and pgbench ("" for none)
  local client=($1)
  echo
  echo "| concurrency | seed tiles/s | export tiles/s | pgbench tiles/s | seed / pgbench | export / pgbench |"
  echo "|---|---|---|---|---|---|"
  for c in 4 8; do
    seed_rates=() export_rates=()
    for _ in 1 2 3; do
      clear_cache
      rm -f "$work/s.state"*
      "${client[@]}" "$seed_bin" seed --zoom "$zooms" --layers plots --concurrency "$c" --resume "$work/s.state" >"$work/seed.out" 2>/dev/null
      "${client[@]}" "$seed_bin" export --zoom "$zooms" --layers plots --concurrency "$c" -o "$work/e.pmtiles" >"$work/export.out" 2>/dev/null
      seed_rates+=("$(rate_of "$work/seed.out")")
      export_rates+=("$(rate_of "$work/export.out")")
    done
    seed_rate=$(printf '%s\n' "${seed_rates[@]}" | median)
    export_rate=$(printf '%s\n' "${export_rates[@]}" | median)
    "${client[@]}" pgbench -n -M prepared -c "$c" -j 2 -T 15 "${scripts[@]}" "$DATABASE_URL" >"$work/pgbench.out" 2>&1
    tps=$(sed -n 's/^tps = \([0-9.]*\).*/\1/p' "$work/pgbench.out" | cut -d. -f1)
    echo "| $c | $seed_rate | $export_rate | $tps | $(ratio "$seed_rate" "$tps") | $(ratio "$export_rate" "$tps") |"
  done
}
echo
echo "Every process on both cores:"
rates ""
pin 1 0
echo
echo "PostgreSQL on core 1; the clients and Redis on core 0:"
rates "taskset -c 0"
pin 0-1 0-1

# The ETA on a longer walk (z14-z20, about half a minute): plain progress lines every 5 s (not
# a terminal), each time-stamped here, against the real end.
clear_cache
rm -f "$work/s.state"*
start=$(date +%s.%N)
"$seed_bin" seed --zoom 14-20 --layers plots --concurrency 4 --resume "$work/s.state" 2>&1 >"$work/long.out" |
  while IFS= read -r line; do echo "$(date +%s.%N) $line"; done >"$work/progress.txt"
end=$(date +%s.%N)
echo
echo "ETA of seed --zoom 14-20 --concurrency 4 ($(rate_of "$work/long.out") tiles/s): predicted end vs real end, seconds from the start:"
node bench/seed/seed.js eta "$start" "$end" <"$work/progress.txt"

# Resume after kill -9 at about half way. The statements run are counted by the database
# (every tile is one transaction), so tiles built twice show even though the record counts
# each once.
xacts() {
  sleep 1.5  # backends report their counts within a second of going idle
  psql "$DATABASE_URL" -Atc "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = current_database()"
}
clear_cache
rm -f "$work/s.state"*
resume_zooms=14-20
total=$("$seed_bin" seed --zoom "$resume_zooms" --layers plots --dry-run | sed -n 's/^total: \([0-9]*\).*/\1/p')
before=$(xacts)
clean_start=$(date +%s.%N)
"$seed_bin" seed --zoom "$resume_zooms" --layers plots --concurrency 4 --resume "$work/s.state" >"$work/clean.out" 2>/dev/null
half=$(calc %.3f "($(date +%s.%N) - $clean_start) / 2")
clean=$(sed -n 's/.*: \([0-9]*\) tiles built.*/\1/p' "$work/clean.out")
clean_xacts=$(($(xacts) - before))
clear_cache
rm -f "$work/s.state"*
before=$(xacts)
"$seed_bin" seed --zoom "$resume_zooms" --layers plots --concurrency 4 --resume "$work/s.state" >/dev/null 2>"$work/killed.err" &
pid=$!
sleep "$half"
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
"$seed_bin" seed --zoom "$resume_zooms" --layers plots --concurrency 4 --resume "$work/s.state" >"$work/resumed.out" 2>/dev/null
both=$(sed -n 's/.*: \([0-9]*\) tiles built.*/\1/p' "$work/resumed.out")
both_xacts=$(($(xacts) - before))
echo
echo "Resume after kill -9 at half the clean run's time (seed --zoom $resume_zooms, walk of $total): the"
echo "clean run built $clean tiles in $clean_xacts database transactions; the killed and the resumed run"
echo "together $both tiles by their record, in $both_xacts transactions: $((both_xacts - clean_xacts)) more"
echo "($(calc %.2f "100 * ($both_xacts - $clean_xacts) / $clean_xacts") %)."

# Deltas: 1 % of the plots get a new land use, then the delta since the package, applied, against
# a fresh export (MBTiles, compared row for row). The edits are undone afterwards.
tiles_digest() { sqlite3 "$1" "SELECT zoom_level, tile_column, tile_row, hex(tile_data) FROM tiles ORDER BY 1, 2, 3" | md5sum | cut -c1-12; }
# A PMTiles package's tiles at the addresses of an MBTiles one, read by the format's own npm reader.
pmtiles_digest() {
  sqlite3 "$2" "SELECT zoom_level || '/' || tile_column || '/' || ((1 << zoom_level) - 1 - tile_row) FROM tiles ORDER BY 1" |
    node tests/integration/mapsvc_tiles/read_pmtiles.mjs "$1" | tail -n +2 | md5sum | cut -c1-12
}
size_of() { stat -c %s "$1"; }
percent() { calc %.1f "100 * $1 / $2"; }
delta_run() {  # LABEL SET WHERE REVERT: an edit of the plots, and how to take it back
  rm -f "$work"/d-*
  for f in mbtiles pmtiles; do
    "$seed_bin" export --zoom "$zooms" --layers plots -o "$work/d-base.$f" >/dev/null 2>&1
  done
  edited=$(psql "$DATABASE_URL" -Atc "UPDATE \"PLOT\" SET $2 WHERE $3" | sed 's/UPDATE //')
  for f in mbtiles pmtiles; do
    "$seed_bin" export --since "$work/d-base.$f" -o "$work/d-delta.$f" >"$work/delta-$f.out" 2>/dev/null
    "$seed_bin" apply "$work/d-base.$f" "$work/d-delta.$f" -o "$work/d-applied.$f" >/dev/null
    "$seed_bin" export --zoom "$zooms" --layers plots -o "$work/d-fresh.$f" >/dev/null 2>&1
  done
  psql "$DATABASE_URL" -qAtc "UPDATE \"PLOT\" SET $4 WHERE $3"
  local same_mb same_pm
  same_mb=$([ "$(tiles_digest "$work/d-applied.mbtiles")" = "$(tiles_digest "$work/d-fresh.mbtiles")" ] && echo yes || echo NO)
  same_pm=$([ "$(pmtiles_digest "$work/d-applied.pmtiles" "$work/d-fresh.mbtiles")" = \
              "$(pmtiles_digest "$work/d-fresh.pmtiles" "$work/d-fresh.mbtiles")" ] && echo yes || echo NO)
  echo "| $1 | $edited | $(sed -n 's/.* touch \([0-9]*\) tiles: \([0-9]*\) written (\([0-9]*\) as patches).*/\1: \2 written, \3 as patches/p' "$work/delta-mbtiles.out") of $(sqlite3 "$work/d-base.mbtiles" 'SELECT count(*) FROM tiles') |" \
    "$(size_of "$work/d-delta.mbtiles") of $(size_of "$work/d-base.mbtiles") bytes ($(percent "$(size_of "$work/d-delta.mbtiles")" "$(size_of "$work/d-base.mbtiles")") %) |" \
    "$(size_of "$work/d-delta.pmtiles") of $(size_of "$work/d-base.pmtiles") bytes ($(percent "$(size_of "$work/d-delta.pmtiles")" "$(size_of "$work/d-base.pmtiles")") %) |" \
    "$same_mb / $same_pm |"
}
echo
echo "Deltas (plots z$zooms; the base, delta and fresh packages in both formats):"
echo
echo "| plots changed | rows | tiles touched: in the delta, as patches, of the package | MBTiles delta | PMTiles delta | applied = fresh export (MBTiles / PMTiles) |"
echo "|---|---|---|---|---|---|"
new_use='"GENERAL_LU" = "GENERAL_LU" || '"' (edited)'"
old_use='"GENERAL_LU" = left("GENERAL_LU", -9)'
delta_run "1 %, spread over the area (every 100th id): a land use no plot had" "$new_use" '"ID" % 100 = 7' "$old_use"
delta_run "1 %, one neighbourhood (500 consecutive ids): a land use no plot had" "$new_use" '"ID" BETWEEN 20000 AND 20499' "$old_use"
delta_run "1 %, spread over the area: each plot moved 2 m east" \
  '"GEOMETRY_3857" = ST_Translate("GEOMETRY_3857", 2, 0)' '"ID" % 100 = 7' '"GEOMETRY_3857" = ST_Translate("GEOMETRY_3857", -2, 0)'

# Memory: a package of a million tiles (synthetic, zoom 20) through the export's writer.
echo
echo "Writing a package of a million tiles (bench/seed/package_memory.cpp):"
echo
"$BUILD_DIR/bin/package_memory" 1000000 "$work"
