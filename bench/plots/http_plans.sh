#!/usr/bin/env bash
# Plans through HTTP on a running, warm server: median wall time of 20 requests per example
# and format (POST /plots/plan) and per format for a plot of the database (GET /plots/ID/plan),
# then 8 concurrent clients (plans/s, and tile latency meanwhile), then a batch of 100 plot IDs
# (time and the server's peak RSS).
#   bench/plots/http_plans.sh [BASE_URL] [SERVER_PID]
set -euo pipefail
base=${1:-http://127.0.0.1:8000}
pid=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
examples=$here/../../apps/mapsvc-plan/examples
runs=20

. "$here/../lib.sh"
# The median of seconds on standard input, in milliseconds.
median_ms() { median | awk '{printf "%.1f", $1 * 1000}'; }

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for f in "$examples"/*.json; do
  name=$(basename "$f" .json)
  for format in png pdf svg json; do
    curl -s -o /dev/null -X POST --data-binary @"$f" "$base/plots/plan?format=$format"  # warm
    t=$(for _ in $(seq $runs); do
          curl -s -o /dev/null -w '%{time_total}\n' -X POST --data-binary @"$f" "$base/plots/plan?format=$format"
        done | median_ms)
    echo "POST $name $format: median ${t} ms"
  done
done
for format in png pdf svg; do
  t=$(for _ in $(seq $runs); do curl -s -o /dev/null -w '%{time_total}\n' "$base/plots/42/plan?format=$format"; done | median_ms)
  echo "GET /plots/42/plan $format: median ${t} ms"
done

# 8 concurrent clients posting the 1:1000 example for 10 s, and one tile client beside them.
lua=$(mktemp --suffix=.lua)
# The example's bytes as a Lua string: backslash and quote escaped, control bytes as \ddd.
body=$(node -e 'const bytes = require("fs").readFileSync(process.argv[1], "latin1");
  const quoted = bytes.replace(/[\\"]/g, "\\$&").replace(/[\x00-\x1f\x7f]/g, (c) => "\\" + String(c.charCodeAt(0)).padStart(3, "0"));
  process.stdout.write(Buffer.from(`"${quoted}"`, "latin1"));' "$examples/heptagon_1000.json")
printf 'wrk.method = "POST"\nwrk.body = %s\nwrk.headers["Content-Type"] = "application/json"\n' "$body" > "$lua"
tile="$base/gis/plots/15/17061/15556.pbf"
(for _ in $(seq 200); do curl -s -o /dev/null -w '%{time_total}\n' "$tile"; sleep 0.04; done | median_ms > /tmp/plans-tile-median) &
wrk -t2 -c8 -d10s -s "$lua" "$base/plots/plan?format=png" | grep -E 'Requests/sec|Latency|Non-2xx'
wait
echo "tile latency meanwhile: median $(cat /tmp/plans-tile-median) ms"
rm -f "$lua"

ids=$(seq -s, 1 100)
t=$(curl -s -o /tmp/plans-batch.pdf -w '%{time_total}' -X POST --data-binary "{\"ids\": [$ids]}" "$base/plots/plans")
echo "batch of 100 IDs: ${t} s, $(pdfinfo /tmp/plans-batch.pdf 2>/dev/null | awk '/^Pages/ {print $2}') pages"
if [[ -n "$pid" ]]; then grep -E 'VmHWM|VmRSS' "/proc/$pid/status"; fi
