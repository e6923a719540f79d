#!/usr/bin/env bash
# What map clients and monitoring cost: a composite tile of the five layers against five
# requests for the same tile position (cold: cache emptied before each; hot: all cached), and
# the metrics' cost on the hit path (the same cached tile with MAPSVC_METRICS=1 and =0, in
# alternating rounds). Uses the local services and the demo cadastre of database mapsvc.
#
#   BUILD_DIR=build bench/map-clients/run.sh [--duration 10] [--rounds 3] [--workers 1]
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-build}
duration=10 rounds=3 workers=1
while (($#)); do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --workers) workers=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
eval "$("$repo/scripts/services" start)"
export DATABASE_URL REDIS_HOST REDIS_PORT
. "$repo/bench/lib.sh"
mapsvc=$repo/$BUILD_DIR/bin/mapsvc
[[ -x $mapsvc ]] || mapsvc=$BUILD_DIR/bin/mapsvc
bench_workdir map-clients
# One port for every server of the run (the URLs below name it); checked free before each start.
port=$(free_port)
pid=

start() {  # start METRICS(0|1)
  MAPSVC_PORT=$port MAPSVC_METRICS=$1 start_mapsvc clients "$mapsvc" "$REDIS_PORT" "$DATABASE_URL" --workers "$workers"
  pid=$started_pid
}
stop() { stop_mapsvc "$pid"; }

layers=(plots beacons cadzones districts lgas)
composite=$(IFS=,; echo "${layers[*]}")
start 1
# The plots layer's suggested z16 tile, and a block of positions around it.
read -r z cx cy < <(curl -s "$base/gis/plots/" | node "$bench_lib/layer-info.js" suggested-tile)
positions=()
for dx in -2 -1 0 1 2; do for dy in -2 -1 0 1 2; do positions+=("$z/$((cx + dx))/$((cy + dy))"); done; done

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "## cold: cache emptied before each tile position (${#positions[@]} positions at z$z)"
purge() { curl -s -o /dev/null -X POST "$base/gis/cache/invalidate/all"; }
total() { awk '{s += $1} END {printf "%.1f", s * 1000}'; }
composite_ms=0 separate_ms=0
for p in "${positions[@]}"; do
  purge
  c=$(curl -s -o /dev/null -w '%{time_total}\n' "$base/gis/$composite/$p.pbf" | total)
  purge
  urls=(); for l in "${layers[@]}"; do urls+=("$base/gis/$l/$p.pbf"); done
  # One connection, one request after the other, as a client without HTTP/2 multiplexing.
  s=$(curl -s -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null -w '%{time_total}\n' "${urls[@]}" | total)
  composite_ms=$(echo "$composite_ms + $c" | bc)
  separate_ms=$(echo "$separate_ms + $s" | bc)
done
echo "composite: $(echo "scale=2; $composite_ms / ${#positions[@]}" | bc) ms per position"
echo "five requests, sequential on one connection: $(echo "scale=2; $separate_ms / ${#positions[@]}" | bc) ms per position"

echo "## hot: every layer cached; wrk -t1 -c32 -d${duration}s"
centre="$z/$cx/$cy"
curl -s -o /dev/null "$base/gis/$composite/$centre.pbf"
script=$work/five.lua
{
  echo 'local paths = {'
  for l in "${layers[@]}"; do echo "  \"/gis/$l/$centre.pbf\","; done
  echo '}'
  echo 'local i = 0'
  echo 'request = function() i = i % #paths + 1; return wrk.format("GET", paths[i]) end'
} >"$script"
rps() { awk '/Requests\/sec/ {print $2}'; }
hot_c=$(wrk -t1 -c32 -d"${duration}s" "$base/gis/$composite/$centre.pbf" | rps)
hot_s=$(wrk -t1 -c32 -d"${duration}s" -s "$script" "$base" | rps)
echo "composite: $hot_c tiles/s (positions/s)"
echo "five requests: $hot_s req/s = $(echo "scale=0; $hot_s / 5" | bc) positions/s"
stop

echo "## metrics on the hit path: cached z$z plots tile, wrk -t1 -c64 -d${duration}s, $workers worker(s)"
tile="$base/gis/plots/$centre.pbf"
on=() off=()
for r in $(seq "$rounds"); do
  for m in 1 0; do
    start "$m"
    curl -s -o /dev/null "$tile"
    v=$(wrk -t1 -c64 -d"${duration}s" "$tile" | rps)
    stop
    if [[ $m == 1 ]]; then on+=("$v"); else off+=("$v"); fi
    echo "round $r metrics=$m: $v req/s"
  done
done
mon=$(printf '%s\n' "${on[@]}" | median) moff=$(printf '%s\n' "${off[@]}" | median)
echo "median with metrics: $mon, without: $moff, cost: $(echo "scale=2; 100 * ($moff - $mon) / $moff" | bc) %"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
