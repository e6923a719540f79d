#!/usr/bin/env bash
# shellcheck disable=SC2154  # NAME_pid and NAME_base are set by start_mapsvc through eval
# Figures for the sizing model of docs/scaling.md, measured on this machine:
#   a. tile statements per PostgreSQL CPU-second, by layer and zoom: pgbench -c2 -j1 running the
#      server's own statement (print_tile_sql) on random tiles over the data's extent, -M prepared
#      and -M extended (planned every time, as the server sends it with DB_PREPARE=0); and, through HTTP, misses
#      and empty tiles (which are never cached, so each one is a statement);
#   b. tile hits per mapsvc CPU-second through HTTP (wrk -t1 -c32 against a single-worker
#      server), answered from the worker's memory and from Redis (memory off);
#   c. Redis bytes sent and GETs per Redis CPU-second, during b with memory off;
#   d. memory per cached tile, in Redis (used_memory over a walk, MEMORY USAGE of a sample) and
#      in the worker's tile memory (RSS over a walk against what the cache charges).
#
#   bench/scaling/run.sh [--duration S] [--out FILE]
#
# Needs the local services (scripts/services start; the demo cadastre is loaded when missing) and
# BUILD_DIR's (default build) bin/mapsvc and bin/print_tile_sql, copied with their libraries at
# the start so that a rebuild meanwhile changes nothing. Servers of its own on PORT_BASE to
# PORT_BASE+2 (default 58480). It empties the plots and beacons tiles of the local Redis first.
# CPU seconds are utime + stime from /proc. Prints Markdown; FILE (default
# bench/scaling/results.json) gets every figure.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
PORT_BASE=${PORT_BASE:-58480}
duration=5
out=bench/scaling/results.json
while (($#)); do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--out FILE]" >&2; exit 2 ;;
  esac
done
here=bench/scaling
for f in "$BUILD_DIR/bin/mapsvc" "$BUILD_DIR/bin/print_tile_sql"; do
  [[ -x $f ]] || { echo "$f is missing: build it first (cmake --build $BUILD_DIR --target mapsvc print_tile_sql)" >&2; exit 1; }
done

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null
unset MAPSVC_ADMIN_TOKEN MAPSVC_METRICS_TOKEN
export PGOPTIONS=${PGOPTIONS:--c jit=off}

bench_workdir scaling
mkdir -p "$work/lib"
cp "$BUILD_DIR/bin/mapsvc" "$BUILD_DIR/bin/print_tile_sql" "$work/"
cp "$BUILD_DIR"/lib/*.so "$work/lib/" 2>/dev/null || true
export LD_LIBRARY_PATH=$work/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}  # searched before the binaries' RUNPATH

tck=$(getconf CLK_TCK)
now() { date +%s.%N; }
redis() { redis-cli -h "$REDIS_HOST" -p "$REDIS_PORT" "$@"; }
redis_field() { redis info "$1" | tr -d '\r' | sed -n "s/^$2:\([0-9.]*\).*/\1/p"; }
redis_gets() { redis info commandstats | tr -d '\r' | sed -n 's/^cmdstat_get:calls=\([0-9]*\).*/\1/p' | grep . || echo 0; }
# snapshot FILE PID...: "pid ticks" (utime + stime) of each process still there.
snapshot() {
  local file=$1; shift
  : >"$file"
  for p in "$@"; do
    awk -v p="$p" '{sub(/^.*\) /, ""); print p, $12 + $13}' "/proc/$p/stat" 2>/dev/null >>"$file" || true
  done
}
# cpu_between BEFORE AFTER: CPU seconds between two snapshots (a process new in AFTER counts whole).
cpu_between() {
  awk -v tck="$tck" 'NR == FNR {b[$1] = $2; next} {s += $2 - ($1 in b ? b[$1] : 0)} END {printf "%.2f", s / tck}' "$1" "$2"
}
# json KEY VALUE...: one line of results.jsonl; values that read as JSON numbers become numbers.
json() { node "$bench_lib/json-line.js" "$@" >>"$work/results.jsonl"; }
tiles_js=$bench_lib/tiles.js  # tile lists and walks

postmaster=$(ps -o ppid= -p "$(psql "$DATABASE_URL" -Atc "SELECT pid FROM pg_stat_activity WHERE backend_type = 'checkpointer'")" | tr -d ' ')
redis_pid=$(redis_field server process_id)
[[ -r /proc/$redis_pid/stat ]] || { echo "Redis (pid $redis_pid) is not on this machine" >&2; exit 1; }

# start NAME PORT MEMORY_MB: a single-process server (no supervisor) on the local services'
# Redis (bench/lib.sh's start_mapsvc); sets NAME_pid, NAME_base.
start() {
  local name=$1 port=$2 mb=$3
  need_free_port "$port" "set PORT_BASE"
  MAPSVC_PORT=$port start_mapsvc "$name" "$work/mapsvc" "$REDIS_PORT" "$DATABASE_URL" --workers 1 --memory-cache-mb "$mb"
  sleep 0.5  # the tile memory follows Redis once its tracking connection is up
}
rss_mb() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# levels BASE: tile results so far by level, "memory redis miss empty", over every layer.
levels() {
  curl -sf "$1/metrics" | awk -F'[{}]' '/^mapsvc_tile_results_total/ {
    v = $3 + 0; if ($2 ~ /level="memory"/) m += v; if ($2 ~ /level="redis"/) r += v;
    if ($2 ~ /level="miss"/) x += v; if ($2 ~ /level="empty"/) e += v } END {print m + 0, r + 0, x + 0, e + 0}'
}

load_before=$(load)
json kind meta started "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" cores "$(nproc)" \
  cpu "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)" load_before "$load_before" \
  duration_s "$duration" command "$0 --duration $duration" plots "$(psql "$DATABASE_URL" -Atc 'SELECT count(*) FROM "PLOT"')" \
  beacons "$(psql "$DATABASE_URL" -Atc 'SELECT count(*) FROM "BEACON"')" \
  redis_version "$(redis info server | tr -d '\r' | sed -n 's/^redis_version://p')" \
  postgres_version "$(psql "$DATABASE_URL" -Atc 'SHOW server_version')"

start on "$PORT_BASE" 256
start off $((PORT_BASE + 1)) 0
extent=$(curl -sf "$on_base/gis/plots/" | node "$bench_lib/layer-info.js" extent)

# --- Walk every tile over the extent (z19 and beacons: a sample) once: tile sizes by zoom, and Redis
# memory per stored tile (the walk stores every non-empty tile it builds).
for layer in plots beacons; do curl -sf -X POST "$on_base/gis/cache/invalidate/$layer" >/dev/null; done
sleep 0.5
mem0=$(redis_field memory used_memory); keys0=$(redis dbsize)
points="plots:12 plots:14 plots:15 plots:16 plots:17 plots:18 plots:19 beacons:14 beacons:16 beacons:18"
for point in $points; do
  layer=${point%:*}; z=${point#*:}
  if [[ $layer == plots && $z -le 18 ]]; then
    node "$tiles_js" list "$extent" "$layer" "$z" >"$work/$layer-$z.txt"
  else
    node "$tiles_js" list "$extent" "$layer" "$z" "$([[ $layer == plots ]] && echo 4000 || echo 600)" 42 >"$work/$layer-$z.txt"
  fi
  node "$tiles_js" walk "$on_base" "$work/$layer-$z.txt" 2 >"$work/walk-$layer-$z.txt"
  awk '$2 != 200 && $2 != 204 {print "walk: " $0; bad = 1} END {exit bad}' "$work/walk-$layer-$z.txt" >&2 ||
    { echo "a tile failed" >&2; exit 1; }
done
mem1=$(redis_field memory used_memory); keys1=$(redis dbsize)
stored_bytes=$(cat "$work"/walk-*.txt | awk '$2 == 200 {s += $3} END {print s + 0}')
stored_tiles=$(cat "$work"/walk-*.txt | awk '$2 == 200 {n++} END {print n + 0}')
# MEMORY USAGE against STRLEN over a sample of the stored keys.
redis --scan --pattern '*:plots:1[78]:*' >"$work/keys.txt"
head -500 "$work/keys.txt" >"$work/sample-keys.txt"
awk '{print "STRLEN", $1; print "MEMORY USAGE", $1, "SAMPLES", 0}' "$work/sample-keys.txt" | redis >"$work/sample-usage.txt"
read -r sample_n sample_len sample_usage <<<"$(paste - - <"$work/sample-usage.txt" | awk '{n++; l += $1; u += $2} END {print n + 0, l + 0, u + 0}')"
json kind redis_memory tiles_stored "$stored_tiles" tile_bytes "$stored_bytes" keys_added $((keys1 - keys0)) \
  used_memory_before "$mem0" used_memory_after "$mem1" \
  overhead_per_key_used_memory "$(calc %.0f "($mem1 - $mem0 - $stored_bytes) / max(1, $keys1 - $keys0)")" \
  sample_keys "$sample_n" sample_strlen "$sample_len" sample_memory_usage "$sample_usage" \
  overhead_per_key_memory_usage "$(calc %.0f "($sample_usage - $sample_len) / max(1, $sample_n)")"

# --- a. Tile statements per PostgreSQL CPU-second. pgbench runs duration + 2 s; the window is
# the middle `duration` seconds: the CPU of its two backends and the statements ending in it.
# -M prepared: planned once per connection; -M extended: parsed and planned every time, which
# is how the server sends its statements with DB_PREPARE=0 (unnamed, with parameters); by
# default it prepares each once per connection, as -M prepared does.
for point in $points; do
  layer=${point%:*}; z=${point#*:}
  read -r x0 x1 y0 y1 <<<"$(node "$tiles_js" range "$extent" "$z")"
  size=$(tile_size "$z")
  sql=$("$work/print_tile_sql" "$layer" "$z" | sed 's/;[[:space:]]*$//')
  cat >"$work/tile.pgbench" <<EOF
\\set x random($x0, $x1)
\\set y random($y0, $y1)
\\set min_x -20037508.342789244 + :x * $size
\\set max_x -20037508.342789244 + (:x + 1) * $size
\\set max_y 20037508.342789244 - :y * $size
\\set min_y 20037508.342789244 - (:y + 1) * $size
$sql;
EOF
  read -r tiles empty mean nonempty <<<"$(awk '{n++; b += $3; if ($2 == 204) e++} END {printf "%d %d %.0f %.0f\n", n, e, b / n, (n - e) ? b / (n - e) : 0}' "$work/walk-$layer-$z.txt")"
  for mode in prepared extended; do
    rm -f "$work"/pgb.*
    PGAPPNAME=mapsvc-scaling pgbench -n -M "$mode" -c 2 -j 1 -T $((duration + 2)) -l --log-prefix="$work/pgb" \
      -f "$work/tile.pgbench" "$DATABASE_URL" >"$work/pgbench.out" 2>&1 &
    bench=$!
    sleep 1
    backends=$(psql "$DATABASE_URL" -Atc "SELECT pid FROM pg_stat_activity WHERE application_name = 'mapsvc-scaling'" | tr '\n' ' ')
    snapshot "$work/c0" $backends; t0=$(now)
    sleep "$duration"
    snapshot "$work/c1" $backends; t1=$(now)
    wait "$bench" || { cat "$work/pgbench.out" >&2; exit 1; }
    read -r n lat <<<"$(cat "$work"/pgb.* | awk -v a="$t0" -v b="$t1" '{t = $5 + $6 / 1e6} t >= a && t < b {n++; l += $3} END {printf "%d %.2f\n", n, n ? l / n / 1000 : 0}')"
    wall=$(calc %.3f "$t1 - $t0")
    cpu=$(cpu_between "$work/c0" "$work/c1")
    json kind statement layer "$layer" zoom "$z" mode "$mode" tiles_x "$x0-$x1" tiles_y "$y0-$y1" \
      backends "$(wc -w <<<"$backends")" statements "$n" window_s "$wall" \
      statements_per_s "$(calc %.0f "$n / $wall")" \
      pg_cpu_s "$cpu" pg_cores_busy "$(calc %.2f "$cpu / $wall")" \
      statements_per_pg_cpu_s "$(calc %.0f "$n / max($cpu, 0.01)")" mean_latency_ms "$lat" \
      walked_tiles "$tiles" empty_share "$(calc %.3f "$empty / $tiles")" \
      mean_tile_bytes "$mean" mean_nonempty_tile_bytes "$nonempty" load "$(load)"
  done
done

# --- Empty tiles through HTTP: never cached, each one a statement. wrk -c8 on empty z18 plots
# tiles; CPU of the server and of every PostgreSQL process.
awk '$2 == 204 {print $1}' "$work/walk-plots-18.txt" >"$work/empty-18.txt"
snapshot "$work/s0" "$off_pid"; snapshot "$work/p0" $(pgrep -P "$postmaster"); t0=$(now)
wrk -t1 -c8 -d"${duration}s" --latency -s bench/walk.lua "$off_base" -- "$work/empty-18.txt" >"$work/wrk.out"
snapshot "$work/s1" "$off_pid"; snapshot "$work/p1" $(pgrep -P "$postmaster"); t1=$(now)
rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
read -r answered empty failed <<<"$(sed -n 's/^answers answered=\([0-9]*\) ok=[0-9]* hits=[0-9]* empty=\([0-9]*\) failed=\([0-9]*\).*/\1 \2 \3/p' "$work/wrk.out")"
scpu=$(cpu_between "$work/s0" "$work/s1"); pcpu=$(cpu_between "$work/p0" "$work/p1")
json kind empty_http zoom 18 tiles "$(wc -l <"$work/empty-18.txt")" requests "$answered" answered_204 "$empty" failed "$failed" \
  req_per_s "$rps" mapsvc_cpu_s "$scpu" pg_cpu_s "$pcpu" window_s "$(calc %.3f "$t1 - $t0")" \
  per_mapsvc_cpu_s "$(calc %.0f "$answered / max($scpu, 0.01)")" \
  per_pg_cpu_s "$(calc %.0f "$answered / max($pcpu, 0.01)")" \
  p99 "$(awk '$1 == "99%" {print $2}' "$work/wrk.out")" load "$(load)"

# --- Misses through HTTP: the plots tiles of Redis removed, then wrk -c8 over every z19 tile
# in a shuffled order (each asked once while the run lasts: non-empty ones are built and stored,
# empty ones are statements anyway). CPU of the server, of every PostgreSQL process and of Redis.
curl -sf -X POST "$off_base/gis/cache/invalidate/plots" >/dev/null
node "$tiles_js" list "$extent" plots 19 1000000 7 >"$work/miss-19.txt"
read -r m0 r0 x0 e0 <<<"$(levels "$off_base")"
snapshot "$work/s0" "$off_pid"; snapshot "$work/p0" $(pgrep -P "$postmaster"); snapshot "$work/r0" "$redis_pid"; t0=$(now)
wrk -t1 -c8 -d"${duration}s" --latency -s bench/walk.lua "$off_base" -- "$work/miss-19.txt" >"$work/wrk.out"
snapshot "$work/s1" "$off_pid"; snapshot "$work/p1" $(pgrep -P "$postmaster"); snapshot "$work/r1" "$redis_pid"; t1=$(now)
read -r m1 r1 x1 e1 <<<"$(levels "$off_base")"
rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
read -r answered failed <<<"$(sed -n 's/^answers answered=\([0-9]*\) .*failed=\([0-9]*\).*/\1 \2/p' "$work/wrk.out")"
scpu=$(cpu_between "$work/s0" "$work/s1"); pcpu=$(cpu_between "$work/p0" "$work/p1"); rcpu=$(cpu_between "$work/r0" "$work/r1")
json kind miss_http zoom 19 tiles "$(wc -l <"$work/miss-19.txt")" requests "$answered" failed "$failed" req_per_s "$rps" \
  built $((x1 - x0)) empty $((e1 - e0)) from_redis $((r1 - r0)) from_memory $((m1 - m0)) \
  mapsvc_cpu_s "$scpu" pg_cpu_s "$pcpu" redis_cpu_s "$rcpu" window_s "$(calc %.3f "$t1 - $t0")" \
  per_mapsvc_cpu_s "$(calc %.0f "$answered / max($scpu, 0.01)")" \
  per_pg_cpu_s "$(calc %.0f "$answered / max($pcpu, 0.01)")" \
  p99 "$(awk '$1 == "99%" {print $2}' "$work/wrk.out")" load "$(load)"

# --- b, c. Hits through HTTP on warm servers: wrk -t1 -c32 over every non-empty plots tile of
# a zoom, from the worker's memory (256 MB) and from Redis (memory off).
for z in 15 16 18; do
  awk '$2 == 200 {print $1}' "$work/walk-plots-$z.txt" >"$work/hits-$z.txt"
  bytes=$(awk '$2 == 200 {s += $3; n++} END {printf "%.0f", s / n}' "$work/walk-plots-$z.txt")
  for _ in 1 2; do node "$tiles_js" walk "$on_base" "$work/hits-$z.txt" 2 >/dev/null; done
  for mode in on off; do
    base=${mode}_base; pid=${mode}_pid
    read -r m0 r0 x0 e0 <<<"$(levels "${!base}")"
    out0=$(redis_field stats total_net_output_bytes); cmd0=$(redis_field stats total_commands_processed); get0=$(redis_gets)
    snapshot "$work/s0" "${!pid}"; snapshot "$work/r0" "$redis_pid"; t0=$(now)
    wrk -t1 -c32 -d"${duration}s" --latency -s bench/walk.lua "${!base}" -- "$work/hits-$z.txt" >"$work/wrk.out"
    snapshot "$work/s1" "${!pid}"; snapshot "$work/r1" "$redis_pid"; t1=$(now)
    out1=$(redis_field stats total_net_output_bytes); cmd1=$(redis_field stats total_commands_processed); get1=$(redis_gets)
    read -r m1 r1 x1 e1 <<<"$(levels "${!base}")"
    rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
    read -r answered hits failed <<<"$(sed -n 's/^answers answered=\([0-9]*\) ok=[0-9]* hits=\([0-9]*\) empty=[0-9]* failed=\([0-9]*\).*/\1 \2 \3/p' "$work/wrk.out")"
    scpu=$(cpu_between "$work/s0" "$work/s1"); rcpu=$(cpu_between "$work/r0" "$work/r1")
    wall=$(calc %.3f "$t1 - $t0")
    json kind hits zoom "$z" tiles "$(wc -l <"$work/hits-$z.txt")" mean_tile_bytes "$bytes" memory "$mode" \
      requests "$answered" x_cache_hits "$hits" failed "$failed" req_per_s "$rps" \
      from_memory $((m1 - m0)) from_redis $((r1 - r0)) misses $((x1 - x0)) \
      mapsvc_cpu_s "$scpu" mapsvc_cores_busy "$(calc %.2f "$scpu / $wall")" \
      hits_per_mapsvc_cpu_s "$(calc %.0f "$answered / max($scpu, 0.01)")" \
      redis_cpu_s "$rcpu" redis_gets $((get1 - get0)) redis_commands $((cmd1 - cmd0)) redis_bytes_out $((out1 - out0)) \
      redis_bytes_per_cpu_s "$(calc %.0f "($out1 - $out0) / max($rcpu, 0.01)")" \
      redis_gets_per_cpu_s "$(calc %.0f "($get1 - $get0) / max($rcpu, 0.01)")" window_s "$wall" \
      p50 "$(awk '$1 == "50%" {print $2}' "$work/wrk.out")" p99 "$(awk '$1 == "99%" {print $2}' "$work/wrk.out")" load "$(load)"
  done
done

# --- d. The worker's tile memory: RSS of a fresh server before and after holding every
# non-empty z17 and z18 plots tile (walked twice plain, then once with gzip, which adds the
# compressed copy), against what the cache charges: 1.6 x bytes + 64 per tile.
stop_mapsvc "$on_pid"; stop_mapsvc "$off_pid"
start rss $((PORT_BASE + 2)) 256
cat "$work/walk-plots-17.txt" "$work/walk-plots-18.txt" | awk '$2 == 200' >"$work/rss-walk.txt"
cut -d' ' -f1 "$work/rss-walk.txt" >"$work/rss-paths.txt"
rss0=$(rss_mb "$rss_pid")
for _ in 1 2; do node "$tiles_js" walk "$rss_base" "$work/rss-paths.txt" 2 >/dev/null; done
rss1=$(rss_mb "$rss_pid")
read -r m0 r0 x0 e0 <<<"$(levels "$rss_base")"
node "$tiles_js" walk "$rss_base" "$work/rss-paths.txt" 2 gzip >"$work/rss-gzip.txt"
node "$tiles_js" walk "$rss_base" "$work/rss-paths.txt" 2 >/dev/null
read -r m1 r1 x1 e1 <<<"$(levels "$rss_base")"
rss2=$(rss_mb "$rss_pid")
read -r n b <<<"$(awk '{n++; b += $3} END {print n, b}' "$work/rss-walk.txt")"
gz=$(awk '{b += $3} END {print b}' "$work/rss-gzip.txt")
json kind tile_memory tiles "$n" tile_bytes "$b" gzip_bytes "$gz" charged_bytes "$(calc %.0f "1.6 * $b + 64 * $n")" \
  rss_start_mb "$rss0" rss_after_plain_mb "$rss1" rss_after_gzip_mb "$rss2" \
  last_walks_from_memory $((m1 - m0)) last_walks_from_redis $((r1 - r0)) last_walks_misses $((x1 - x0)) \
  rss_growth_per_tile_bytes "$(calc %.0f "($rss2 - $rss0) * 1048576 / $n")" \
  rss_growth_per_tile_plain_bytes "$(calc %.0f "($rss1 - $rss0) * 1048576 / $n")"

json kind end finished "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" load_after "$(load)"
mkdir -p "$(dirname "$out")"
node "$here/report.js" "$work/results.jsonl" "$out"
