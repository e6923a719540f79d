#!/usr/bin/env bash
# Cache seeding: mapsvc-tiles seed over the demo area (plots, z14-z18) at concurrency 4 and 8,
# against pgbench -M prepared running the same tile statements (print_tile_sql, one script
# per zoom weighted by that zoom's tiles in the area) at the same concurrency, in the same run;
# the ETA shown at 10 %, 25 % and 50 % against the real end; and a resume after kill -9 at
# about half way (tiles built again).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
eval "$(scripts/services start)"
export REDIS_DB=${SEED_BENCH_REDIS_DB:-12}
seed_bin="$BUILD_DIR/bin/mapsvc-tiles"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zooms=14-18
clear_cache() { redis-cli -p "$REDIS_PORT" -n "$REDIS_DB" --scan --pattern 'mvt_v8:*' | xargs -r -n 500 redis-cli -p "$REDIS_PORT" -n "$REDIS_DB" DEL >/dev/null; }

# The demo area's tile range per zoom, for pgbench.
read -r minx miny maxx maxy <<<"$(psql "$DATABASE_URL" -Atc \
  'SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM (SELECT ST_Extent("GEOMETRY_3857") e FROM "PLOT") q' | tr '|' ' ')"
scripts=()
for z in 14 15 16 17 18; do
  sql=$("$BUILD_DIR/bin/print_tile_sql" plots "$z" | sed 's/;[[:space:]]*$//')
  read -r x0 x1 y0 y1 n size <<<"$(python3 - "$z" "$minx" "$miny" "$maxx" "$maxy" <<'PY'
import sys
z, minx, miny, maxx, maxy = int(sys.argv[1]), *map(float, sys.argv[2:])
h = 20037508.342789244; size = 2 * h / 2 ** z
x0, x1 = int((minx + h) // size), int((maxx + h) // size)
y0, y1 = int((h - maxy) // size), int((h - miny) // size)
print(x0, x1, y0, y1, (x1 - x0 + 1) * (y1 - y0 + 1), repr(size))
PY
)"
  cat >"$work/z$z.pgbench" <<PGB
\\set x random($x0, $x1)
\\set y random($y0, $y1)
\\set min_x -20037508.342789244 + :x * $size
\\set max_x -20037508.342789244 + (:x + 1) * $size
\\set max_y 20037508.342789244 - :y * $size
\\set min_y 20037508.342789244 - (:y + 1) * $size
$sql;
PGB
  scripts+=(-f "$work/z$z.pgbench@$n")
done

echo "## Cache seeding: plots z$zooms over the demo extent ($(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1 /proc/loadavg))"
echo
echo "| concurrency | seed tiles/s | pgbench statements/s | ratio | ETA at 10 % / 25 % / 50 % vs real end |"
echo "|---|---|---|---|---|"
for c in 4 8; do
  clear_cache
  rm -f "$work/s.state"*
  start=$(date +%s.%N)
  # Plain progress lines every 5 s (not a terminal), each with its ETA, time-stamped here.
  "$seed_bin" seed --zoom "$zooms" --layers plots --concurrency "$c" --resume "$work/s.state" 2>&1 >"$work/seed.out" |
    while IFS= read -r line; do echo "$(date +%s.%N) $line"; done >"$work/progress.txt"
  end=$(date +%s.%N)
  rate=$(sed -n 's/.*(\([0-9]*\) tiles\/s).*/\1/p' "$work/seed.out")
  pgbench -n -M prepared -c "$c" -j 2 -T 30 "${scripts[@]}" "$DATABASE_URL" >"$work/pgbench.out" 2>&1
  tps=$(sed -n 's/^tps = \([0-9.]*\).*/\1/p' "$work/pgbench.out")
  eta=$(python3 - "$work/progress.txt" "$start" "$end" <<'PY'
import re, sys
lines, start, end = open(sys.argv[1]).read().splitlines(), float(sys.argv[2]), float(sys.argv[3])
out = []
for mark in (10, 25, 50):
    for l in lines:
        m = re.search(r"^(\S+) seed: ([\d.]+)% .*ETA (\S+?),?$", l) or re.search(r"^(\S+) seed: ([\d.]+)% .*ETA (\S+)", l)
        if m and float(m.group(2)) >= mark and m.group(3) != "?":
            t = float(m.group(1)); e = m.group(3).rstrip(",")
            s = sum(int(v) * {"h": 3600, "m": 60, "s": 1}[u] for v, u in re.findall(r"(\d+)([hms])", e))
            out.append(f"{t + s - start:.0f}/{end - start:.0f} s")
            break
    else:
        out.append("-")
print(" / ".join(out))
PY
)
  echo "| $c | $rate | $tps | $(python3 -c "print(f'{$rate / $tps:.2f}')") | $eta |"
done

# Resume after kill -9 at about half way.
clear_cache
rm -f "$work/s.state"*
total=$("$seed_bin" seed --zoom "$zooms" --layers plots --dry-run | sed -n 's/^total: \([0-9]*\).*/\1/p')
"$seed_bin" seed --zoom "$zooms" --layers plots --concurrency 4 --resume "$work/s.state" >"$work/clean.out" 2>/dev/null
clean=$(sed -n 's/.*: \([0-9]*\) tiles built.*/\1/p' "$work/clean.out")
clear_cache
rm -f "$work/s.state"*
"$seed_bin" seed --zoom "$zooms" --layers plots --concurrency 4 --resume "$work/s.state" >/dev/null 2>"$work/killed.err" &
pid=$!
while sleep 0.2; do
  done_now=$(grep -c '^d ' "$work/s.state.journal" 2>/dev/null || true)
  [ "${done_now:-0}" -ge $((clean / 2)) ] && break
done
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
"$seed_bin" seed --zoom "$zooms" --layers plots --concurrency 4 --resume "$work/s.state" >"$work/resumed.out" 2>/dev/null
both=$(sed -n 's/.*: \([0-9]*\) tiles built.*/\1/p' "$work/resumed.out")
echo
echo "Resume after kill -9 at half way: $clean tiles in a clean run (walk of $total), $both over the killed and"
echo "the resumed run together: $((both - clean)) built again."
