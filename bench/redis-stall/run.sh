#!/usr/bin/env bash
# Tile throughput of a warm mapsvc while its Redis is gone and while it is stopped (SIGSTOP),
# and how soon after SIGCONT the cache answers again. Uses the local services' PostgreSQL
# with the demo cadastre and a redis-server of its own; the shared Redis is never touched.
#
#   BUILD_DIR=build bench/redis-stall/run.sh [--duration S] [--connections C] [--trials N]
#
# MAPSVC names another server binary (with LD_LIBRARY_PATH for its libraries), e.g. an older
# build to compare with.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
MAPSVC=${MAPSVC:-$BUILD_DIR/bin/mapsvc}
duration=10
connections=32
trials=5
while (($#)); do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --trials) trials=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--connections C] [--trials N]" >&2; exit 2 ;;
  esac
done

set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null
. bench/lib.sh
now_ms() { echo $(($(date +%s%N) / 1000000)); }

bench_workdir redis-stall
redis_port=$(free_port)
redis_pid=""
wrk_pid=""
# Redis may be stopped (SIGSTOP) when the run ends: continued first, or it would never end.
cleanup() {
  [[ -n "$wrk_pid" ]] && kill "$wrk_pid" 2>/dev/null
  [[ -n "$redis_pid" ]] && kill -CONT "$redis_pid" 2>/dev/null
  bench_cleanup
}
trap cleanup EXIT

# The same port each time (the server's Redis address): free again once the last one is gone.
start_redis() {
  need_free_port "$redis_port"
  redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
  redis_pid=$!
  pids+=("$redis_pid")
  until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done
}
start_redis
start_mapsvc svc "$MAPSVC" "$redis_port" "$DATABASE_URL"

# Every z15 and z16 tile over the plots' extent: most hold plots, so a miss is real work
# for the database. The probe is the tile the server suggests, at the plots' centroid.
curl -s "$base/gis/plots/" >"$work/plots.json"
extent=$(node "$bench_lib/layer-info.js" extent <"$work/plots.json")
probe_tile=$(node "$bench_lib/layer-info.js" tile-url <"$work/plots.json")
for z in 15 16; do node "$bench_lib/tiles.js" list "$extent" plots "$z"; done >"$work/tiles.txt"
tile_count=$(wc -l <"$work/tiles.txt")
{
  echo "local paths = {$(sed 's/.*/"&"/' "$work/tiles.txt" | paste -sd,)}"
  echo "local i = 0"
  echo 'request = function() i = i + 1; return wrk.format("GET", paths[(i * 7919) % #paths + 1]) end'
} >"$work/tiles.lua"

is_hit() { curl -s -o /dev/null -D - "$base$probe_tile" | grep -qi '^x-cache: HIT'; }
cache_probe_tile() {
  for _ in $(seq 50); do is_hit && return 0; sleep 0.1; done
  echo "the probe tile never became a cache hit" >&2
  exit 1
}

run_wrk() {  # -> "req/s | failed | p99" and the full output in $work/wrk.out
  wrk -t1 -c"$connections" -d"${duration}s" --latency --timeout 10s -s "$work/tiles.lua" "$base" >"$work/wrk.out"
  local rps non2xx socket p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
  non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk.out")
  socket=$(awk -F'[ ,]+' '/Socket errors/ {print $4 + $6 + $8 + $10}' "$work/wrk.out")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.out")
  echo "$rps | $((${non2xx:-0} + ${socket:-0})) | $p99"
}
warnings() { grep -c 'Cache \(get\|set\) failed' "$work/svc.log" || true; }

# Warm: every tile once from the database into the cache, then a short load.
wrk -t1 -c8 -d3s -s "$work/tiles.lua" "$base" >/dev/null
cache_probe_tile

echo "## $MAPSVC at $(date -u '+%Y-%m-%d %H:%M UTC'): $tile_count z15/z16 plots tiles, wrk -t1 -c$connections -d${duration}s --timeout 10s"
echo
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| Redis | req/s | failed (non-2xx + socket errors) | p99 | cache warnings logged |"
echo "|---|---|---|---|---|"
w0=$(warnings); line=$(run_wrk)
echo "| up (cache warm) | $line | $(($(warnings) - w0)) |"

kill -KILL "$redis_pid"; wait "$redis_pid" 2>/dev/null || true
w0=$(warnings); line=$(run_wrk)
echo "| (a) killed (connection refused) | $line | $(($(warnings) - w0)) |"

start_redis
cache_probe_tile
kill -STOP "$redis_pid"
w0=$(warnings); line=$(run_wrk)
echo "| (b) stopped (SIGSTOP) | $line | $(($(warnings) - w0)) |"

# (c) Under the same load, stop Redis for 1.5 to 3 s, continue it, and poll the probe tile
# until it is a cache hit again.
kill -CONT "$redis_pid"
cache_probe_tile
wrk -t1 -c"$connections" -d600s --timeout 10s -s "$work/tiles.lua" "$base" >/dev/null &
wrk_pid=$!
sleep 1
recoveries=()
for _ in $(seq "$trials"); do
  kill -STOP "$redis_pid"
  sleep "$(calc %.2f "1.5 + 1.5 * $RANDOM / 32767")"
  kill -CONT "$redis_pid"
  t0=$(now_ms)
  until is_hit; do
    (($(now_ms) - t0 > 15000)) && break
    sleep 0.01
  done
  recoveries+=($(($(now_ms) - t0)))
  sleep 1
done
kill "$wrk_pid"; wait "$wrk_pid" 2>/dev/null || true; wrk_pid=""
echo
echo "(c) SIGCONT to the first X-Cache: HIT under the same load, $trials trials: ${recoveries[*]} ms"
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "breaker lines logged: $(grep -c 'Redis did not answer within' "$work/svc.log" || true) opened," \
  "$(grep -c 'Redis no longer stalls' "$work/svc.log" || true) closed"
