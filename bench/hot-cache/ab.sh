#!/usr/bin/env bash
# Cache hits of two mapsvc builds side by side: the same tiles of about 1, 16 and 89 KB, both
# servers warm, wrk alternating between them; requests per second, p99 and the servers' own
# CPU per hit (user + system from /proc). For a change to the request path, before -> after.
#
#   bench/hot-cache/ab.sh BEFORE_BIN [AFTER_BIN] [--duration S] [--rounds N]
#
# AFTER_BIN defaults to build/bin/mapsvc. Uses the local services' demo cadastre and a Redis of
# its own; figures go to standard output as Markdown.
set -euo pipefail
cd "$(dirname "$0")/../.."
(($# >= 1)) || { echo "usage: $0 BEFORE_BIN [AFTER_BIN] [--duration S] [--rounds N]" >&2; exit 2; }
before_bin=$(realpath "$1"); shift
after_bin=$(realpath build/bin/mapsvc)
[[ $# -gt 0 && $1 != --* ]] && { after_bin=$(realpath "$1"); shift; }
duration=8
rounds=3
while (($#)); do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
here=bench/hot-cache

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null
bench_workdir hot-cache-ab
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
pids+=($!)
until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done

# start NAME BIN: a server with the tile memory on, one worker per core; sets NAME_pid and NAME_base.
start() { start_mapsvc "$1" "$2" "$redis_port" "$DATABASE_URL" --workers 0 --memory-cache-mb 256; }
start before "$before_bin"
start after "$after_bin"

extent=$(curl -s "$after_base/gis/plots/" | node "$bench_lib/layer-info.js" extent)
node "$here/hc.js" tiles "$after_base" plots 15,16 "$extent" 8 >"$work/sizes.txt"
tiles=()
for target in 1024 16384 91136; do
  tiles+=("$(awk -v t="$target" '$2 == 200 {d = $3 - t; if (d < 0) d = -d; if (best == "" || d < bd) {bd = d; best = $1}}
    END {print best}' "$work/sizes.txt")")
done
# Every worker of both holds every tile in its memory.
for tile in "${tiles[@]}"; do
  for b in "$before_base" "$after_base"; do
    for _ in $(seq 8); do curl -sf "$b$tile" -o /dev/null; curl -sf -H 'Accept-Encoding: gzip' "$b$tile" -o /dev/null; done
  done
done

# measure PID URL: "req/s p99 cpu_us_per_request" of one wrk -t1 -c64 run
measure() {
  local t0 t1
  t0=$(ticks_of "$1")
  wrk --latency -t1 -c64 -d"${duration}s" "$2" >"$work/wrk.out"
  t1=$(ticks_of "$1")
  awk -v t="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" '
    /Requests\/sec/ {rps = $2} $1 == "99%" {p99 = $2} /requests in/ {n = $1}
    END {printf "%s %s %.1f\n", rps, p99, t * 1e6 / hz / (n > 0 ? n : 1)}' "$work/wrk.out"
}

echo "# Hits, two builds: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(load)"
echo
echo "before: $before_bin; after: $after_bin; wrk -t1 -c64 -d${duration}s, $rounds rounds alternating, medians."
echo
echo "| tile | bytes | before req/s | after req/s | after / before | p99 before / after | CPU us per hit before / after |"
echo "|---|---|---|---|---|---|---|"
for tile in "${tiles[@]}"; do
  : >"$work/b.txt"; : >"$work/a.txt"
  for _ in $(seq "$rounds"); do
    measure "$before_pid" "$before_base$tile" >>"$work/b.txt"
    measure "$after_pid" "$after_base$tile" >>"$work/a.txt"
  done
  b=$(cut -d' ' -f1 "$work/b.txt" | median); a=$(cut -d' ' -f1 "$work/a.txt" | median)
  echo "| $tile | $(curl -sf "$after_base$tile" | wc -c) | $b | $a | $(calc %.2f "$a / $b") |" \
    "$(cut -d' ' -f2 "$work/b.txt" | tr '\n' ' ')/ $(cut -d' ' -f2 "$work/a.txt" | tr '\n' ' ')|" \
    "$(cut -d' ' -f3 "$work/b.txt" | median) / $(cut -d' ' -f3 "$work/a.txt" | median) |"
done
echo
echo "load average after: $(load)"
