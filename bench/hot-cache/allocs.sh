#!/usr/bin/env bash
# Heap allocations per cache hit: the worker's calls to malloc, counted with a uprobe while one
# keep-alive connection asks for the same ~16 KB tile (held in the tile memory) N times, with
# an Origin header as a browser sends it. Needs root (perf probe).
#
#   bench/hot-cache/allocs.sh [BIN] [--hits N] [--record]
#
# BIN defaults to build/bin/mapsvc. --record also keeps a call graph of 200 hits in
# $TMPDIR/mapsvc-allocs.perf (perf report -i ... --no-children -G shows who allocates).
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath build/bin/mapsvc)
[[ $# -gt 0 && $1 != --* ]] && { bin=$(realpath "$1"); shift; }
hits=2000
record=
while (($#)); do
  case "$1" in
    --hits) hits=$2; shift 2 ;;
    --record) record=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
libc=$(ldd "$bin" | awk '/libc\.so\.6/ {print $3}')

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null
bench_workdir allocs
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
pids+=($!)
until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done
start_mapsvc s "$bin" "$redis_port" "$DATABASE_URL" --workers 1 --memory-cache-mb 256
extent=$(curl -s "$s_base/gis/plots/" | node bench/lib/layer-info.js extent)
node bench/hot-cache/hc.js tiles "$s_base" plots 15,16 "$extent" 8 >"$work/sizes.txt"
tile=$(awk '$2 == 200 {d = $3 - 16384; if (d < 0) d = -d; if (best == "" || d < bd) {bd = d; best = $1}}
  END {print best}' "$work/sizes.txt")
for _ in $(seq 20); do curl -sf "$s_base$tile" -o /dev/null; done
worker=$(pgrep -P "$s_pid" | head -1 || true)
worker=${worker:-$s_pid}

perf probe -q -d 'probe_libc:malloc' 2>/dev/null || true
perf probe -q -x "$libc" malloc
trap 'perf probe -q -d "probe_libc:malloc" 2>/dev/null || true; bench_cleanup' EXIT
# hit_urls N: the tile's URL N times, for one curl on one connection
hit_urls() { for _ in $(seq "$1"); do printf '%s\n' "$s_base$tile"; done; }
hit_urls "$hits" >"$work/urls"
started=$(date +%s%N)
perf stat -x, -e probe_libc:malloc -p "$worker" -o "$work/hits.txt" -- \
  xargs curl -s -H 'Origin: https://maps.example.org' <"$work/urls" >/dev/null
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
perf stat -x, -e probe_libc:malloc -p "$worker" -o "$work/idle.txt" -- sleep 2
count() { grep malloc "$1" | cut -d, -f1; }
idle_per_ms=$(echo "scale=6; $(count "$work/idle.txt") / 2000" | bc)
per_hit=$(echo "scale=2; ($(count "$work/hits.txt") - $idle_per_ms * $elapsed_ms) / $hits" | bc)
echo "$bin: $per_hit allocations per hit of $tile ($hits hits, idle rate subtracted)"
if [[ -n $record ]]; then
  hit_urls 200 >"$work/urls"
  perf record -q -e probe_libc:malloc --call-graph dwarf,16384 -p "$worker" -o "${TMPDIR:-/tmp}/mapsvc-allocs.perf" -- \
    xargs curl -s -H 'Origin: https://maps.example.org' <"$work/urls" >/dev/null
fi
