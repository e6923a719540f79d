#!/usr/bin/env bash
# The server's own CPU per cold tile: every z16 plots tile of the demo data asked for in a
# shuffled walk (bench/walk.lua, wrk -t2 -c8), so that each answer is a statement in PostgreSQL,
# and the user + system time of the server's processes from /proc over the run, divided by its
# answers. Several builds are measured in turn, round after round.
#
#   bench/hot-cache/cold-cpu.sh [BIN...] [--redis refusing|up] [--duration S] [--rounds N]
#
# BIN defaults to build/bin/mapsvc. --redis refusing (the default): the cache's port has nothing
# listening; up: a Redis of its own answers every read and takes every store, flushed every
# 10 ms so that no tile is found there again. Figures go to standard output as Markdown.
set -euo pipefail
cd "$(dirname "$0")/../.."
bins=()
redis=refusing
duration=8
rounds=3
while (($#)); do
  case "$1" in
    --redis) redis=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --*) echo "unknown option $1" >&2; exit 2 ;;
    *) bins+=("$(realpath "$1")"); shift ;;
  esac
done
((${#bins[@]})) || bins=("$(realpath build/bin/mapsvc)")

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null
bench_workdir cold-cpu
trap bench_cleanup EXIT
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
pids+=($!)
until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done
[[ $redis == up ]] && cache_port=$redis_port || cache_port=$(free_port)

ticks=$(getconf CLK_TCK)
echo "# CPU per cold tile: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(load), Redis $redis"
echo
echo "wrk -t2 -c8 -d${duration}s over the z16 plots tiles (a 2 s walk first opens the connections), $rounds rounds."
echo
echo "| build | tiles/s (rounds) | CPU ms per tile (rounds) | median CPU ms per tile |"
echo "|---|---|---|---|"
declare -A rates costs
for r in $(seq "$rounds"); do
  for i in "${!bins[@]}"; do
    start_mapsvc cold "${bins[$i]}" "$cache_port" "$DATABASE_URL" --workers 1
    sleep 0.5
    if ((r == 1 && i == 0)); then
      extent=$(curl -s "$base/gis/plots/" | node bench/lib/layer-info.js extent)
      node bench/lib/tiles.js list "$extent" plots 16 >"$work/z16.txt"
    fi
    [[ $redis == up ]] && { node bench/hot-cache/hc.js flush "$redis_port" 10 & flusher=$!; }
    wrk -t2 -c8 -d2s -s bench/walk.lua "$base" -- "$work/z16.txt" "$r" >/dev/null
    before=$(ticks_of "$cold_pid")
    wrk -t2 -c8 -d"${duration}s" -s bench/walk.lua "$base" -- "$work/z16.txt" "$((r + 7))" >"$work/wrk.out"
    after=$(ticks_of "$cold_pid")
    [[ $redis == up ]] && { kill "$flusher"; wait "$flusher" 2>/dev/null || true; }
    stop_mapsvc "$cold_pid"
    n=$(awk '/requests in/ {print $1}' "$work/wrk.out")
    rates[$i]+="$(awk '/Requests\/sec/ {printf "%.0f", $2}' "$work/wrk.out") "
    costs[$i]+="$(calc %.3f "($after - $before) * 1000 / $ticks / $n") "
  done
done
for i in "${!bins[@]}"; do
  echo "| ${bins[$i]} | ${rates[$i]}| ${costs[$i]}| $(tr ' ' '\n' <<<"${costs[$i]}" | grep . | median) |"
done
echo
echo "load average after: $(load)"
