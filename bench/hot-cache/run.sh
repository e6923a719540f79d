#!/usr/bin/env bash
# The hot cache from the outside: cache hits against nginx serving the same bytes, a Zipf mix
# with the tile memory on and off, cold tiles against pgbench running the same statements,
# how soon a change in Redis reaches another process's memory, and the RSS of a worker whose
# memory is full. Uses the local services' PostgreSQL with the demo cadastre, and a Redis and
# an nginx of its own.
#
#   BUILD_DIR=build bench/hot-cache/run.sh [--duration S] [--rounds N] [--only SECTION,...]
#
# Sections: hits, first, zipf, cold, propagation, rss. Figures go to standard output as Markdown.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
MAPSVC=${MAPSVC:-$BUILD_DIR/bin/mapsvc}
duration=10
rounds=3
only=hits,first,zipf,cold,propagation,rss
cold_redis=refusing
while (($#)); do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --cold-redis) cold_redis=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--rounds N] [--only hits,first,zipf,cold,propagation,rss] [--cold-redis refusing|up]" >&2; exit 2 ;;
  esac
done
wanted() { [[ ",$only," == *",$1,"* ]]; }
here=bench/hot-cache
cores=$(nproc)

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
scripts/demo-data --if-empty >/dev/null

bench_workdir hot-cache
# The cold section may pin PostgreSQL to one core: every core again whatever ends the run.
trap 'pin_postgres "0-$((cores - 1))"; bench_cleanup' EXIT
chmod 755 "$work"  # nginx's workers run as nobody
redis_port=$(free_port)

redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
pids+=($!)
until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done
redis() { redis-cli -p "$redis_port" "$@"; }

# start NAME [flags...]: a server of this bench (bench/lib.sh's start_mapsvc on this bench's
# Redis, or REDIS_PORT_OVERRIDE's); sets $base and NAME_pid.
start() {
  local name=$1
  shift
  start_mapsvc "$name" "$MAPSVC" "${REDIS_PORT_OVERRIDE:-$redis_port}" "$DATABASE_URL" "$@"
  # The tile memory follows Redis only once its tracking connection is up.
  sleep 0.5
}

# wrk_line ARGS...: "req/s p50 p99" of one wrk run, its whole output in $work/wrk.out.
wrk_line() {
  wrk --latency --timeout 10s "$@" >"$work/wrk.out"
  local rps p50 p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
  p50=$(awk '$1 == "50%" {print $2}' "$work/wrk.out")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.out")
  if grep -q 'Non-2xx\|Socket errors' "$work/wrk.out"; then
    echo "warning: $(grep 'Non-2xx\|Socket errors' "$work/wrk.out" | tr '\n' ' ')" >&2
  fi
  echo "$rps $p50 $p99"
}

start svc --workers 0 --memory-cache-mb 256
# The plots' extent in EPSG:3857, and lists of tiles over it.
extent=$(curl -s "$base/gis/plots/" | node "$bench_lib/layer-info.js" extent)
tile_list() {  # tile_list ZOOMS LIMIT: paths of plots tiles over the extent, by zoom, LIMIT at most
  local z
  for z in ${1//,/ }; do node "$bench_lib/tiles.js" list "$extent" plots "$z"; done | awk -v n="$2" 'NR <= n'
}

echo "# Hot cache: measured $(date -u '+%Y-%m-%d %H:%M UTC'), $cores cores, load average $(load)"
echo

if wanted hits; then
  # Tiles of about 1, 16, 56 and 89 KB, the bytes the server answers, and the same bytes under
  # nginx (gzip_static: the files compressed at level 6 beside them).
  node "$here/hc.js" tiles "$base" plots 15,16,18 "$extent" 8 >"$work/sizes.txt"
  hit_tiles=()
  for target in 1024 16384 57344 91136; do
    hit_tiles+=("$(awk -v t="$target" '$2 == 200 {d = $3 - t; if (d < 0) d = -d; if (best == "" || d < bd) {bd = d; best = $1}}
      END {print best}' "$work/sizes.txt")")
  done
  for tile in "${hit_tiles[@]}"; do
    mkdir -p "$work/www$(dirname "$tile")"
    curl -sf "$base$tile" -o "$work/www$tile"
    gzip -6 -n -k -f "$work/www$tile"
  done
  chmod -R a+rX "$work/www"
  nginx_port=$(free_port)
  cat >"$work/nginx.conf" <<EOF
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  types { application/vnd.mapbox-vector-tile pbf; }
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    gzip_static on;
  }
}
EOF
  nginx -c "$work/nginx.conf" -p "$work" -g 'daemon off;' &
  nginx_pid=$!
  pids+=($nginx_pid)
  nginx_base="http://127.0.0.1:$nginx_port"
  for _ in $(seq 100); do curl -sf "$nginx_base${hit_tiles[0]}" -o /dev/null && break; sleep 0.05; done
  for tile in "${hit_tiles[@]}"; do
    cmp -s "$work/www$tile" <(curl -sf "$nginx_base$tile") || { echo "nginx serves other bytes" >&2; exit 1; }
    curl -sfI -H 'Accept-Encoding: gzip' "$nginx_base$tile" | grep -qi '^content-encoding: gzip' ||
      { echo "nginx does not serve the .gz" >&2; exit 1; }
    # Warm both: every worker's memory holds the tile and its gzip form.
    for _ in $(seq 8); do curl -sf "$base$tile" -o /dev/null; curl -sf -H 'Accept-Encoding: gzip' "$base$tile" -o /dev/null; done
  done
  # measure PID URL WRK_ARGS...: "req/s p50 p99 cpu_us_per_request"
  measure() {
    local pid=$1 url=$2; shift 2
    local before after line requests
    before=$(ticks_of "$pid")
    line=$(wrk_line "$@" "$url")
    after=$(ticks_of "$pid")
    requests=$(awk '/requests in/ {print $1}' "$work/wrk.out")
    echo "$line $(calc %.1f "($after - $before) * 1e6 / $(getconf CLK_TCK) / max($requests, 1)")"
  }

  echo "## Hits on one tile of each size"
  echo
  echo "wrk -d${duration}s, $rounds rounds alternating; mapsvc --workers 0 (one per core), nginx worker_processes auto."
  echo "Medians of the rounds; CPU per hit is the servers' own (user + system, /proc) over the run."
  echo
  echo "| tile | bytes (gzip) | answer | wrk | mapsvc req/s | nginx req/s | ratio | p99 mapsvc / nginx | CPU us per hit mapsvc / nginx |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for tile in "${hit_tiles[@]}"; do
    for encoding in identity gzip; do
      header=()
      [[ $encoding == gzip ]] && header=(-H 'Accept-Encoding: gzip')
      for threads in 1 2; do
        for c in 64 256; do
          : >"$work/m.txt"; : >"$work/n.txt"
          for _ in $(seq "$rounds"); do
            measure "$svc_pid" "$base$tile" -t"$threads" -c"$c" -d"${duration}s" "${header[@]}" >>"$work/m.txt"
            measure "$nginx_pid" "$nginx_base$tile" -t"$threads" -c"$c" -d"${duration}s" "${header[@]}" >>"$work/n.txt"
          done
          m=$(cut -d' ' -f1 "$work/m.txt" | median); n=$(cut -d' ' -f1 "$work/n.txt" | median)
          mcpu=$(cut -d' ' -f4 "$work/m.txt" | median); ncpu=$(cut -d' ' -f4 "$work/n.txt" | median)
          mp99=$(cut -d' ' -f3 "$work/m.txt" | tr '\n' ' '); np99=$(cut -d' ' -f3 "$work/n.txt" | tr '\n' ' ')
          echo "| $tile | $(stat -c %s "$work/www$tile") ($(stat -c %s "$work/www$tile.gz")) | $encoding | -t$threads -c$c |" \
            "$m | $n | $(calc %.2f "$m / $n") | $mp99/ $np99 | $mcpu / $ncpu |"
        done
      done
    done
  done
  echo
  echo "load average after: $(load)"
  echo
fi

if wanted first; then
  # The first pass over 729 z16 tiles (27 x 27 around the middle of the plots) right after a
  # start with Redis empty, against a second pass once Redis is emptied again.
  read -r _ cx cy <<<"$(curl -s "$base/gis/plots/" | node "$bench_lib/layer-info.js" suggested-tile)"
  for dx in $(seq -13 13); do for dy in $(seq -13 13); do echo "/gis/plots/16/$((cx + dx))/$((cy + dy)).pbf"; done; done |
    shuf --random-source=<(yes) >"$work/first.txt"
  echo "## The first pass after a start"
  echo
  echo "729 z16 plots tiles once each, 32 at a time, Redis emptied before each pass; a fresh mapsvc (--workers 0)"
  echo "each round, its first pass as soon as it answers; latencies in ms."
  echo
  echo "| round | first pass p50 / p99 / max | second pass p50 / p99 / max | p99 first / second |"
  echo "|---|---|---|---|"
  stop_mapsvc "$svc_pid"
  for round in $(seq "$rounds"); do
    redis FLUSHALL >/dev/null
    start first --workers 0
    one=$(node "$here/hc.js" pass "$base" "$work/first.txt" 32)
    redis FLUSHALL >/dev/null
    sleep 0.5
    two=$(node "$here/hc.js" pass "$base" "$work/first.txt" 32)
    stop_mapsvc "$first_pid"
    field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$2"; }
    echo "| $round | $(field p50 "$one") / $(field p99 "$one") / $(field max "$one") |" \
      "$(field p50 "$two") / $(field p99 "$two") / $(field max "$two") |" \
      "$(calc %.2f "$(field p99 "$one") / $(field p99 "$two")") |"
  done
  start svc --workers 0 --memory-cache-mb 256
  echo
fi

if wanted zipf; then
  # 10 000 tiles that hold plots, from z17 to z19; walking them once also fills Redis.
  tile_list 17,18,19 100000 >"$work/candidates.txt"
  node "$here/hc.js" paths "$base" "$work/candidates.txt" 8 >"$work/candidates-walk.txt"
  awk '$2 == 200 && n++ < 10000' "$work/candidates-walk.txt" >"$work/zipf-walk.txt"
  cut -d' ' -f1 "$work/zipf-walk.txt" >"$work/zipf.txt"
  count=$(wc -l <"$work/zipf.txt")
  bytes=$(awk '{s += $3} END {print s}' "$work/zipf-walk.txt")
  echo "## Zipf mix over $count distinct tiles with plots (z17 to z19, $((bytes / 1024 / 1024)) MB in all), exponent 1.0"
  echo
  echo "wrk -t2 -c64 -d${duration}s -s zipf.lua, $rounds rounds alternating, Redis warm. Redis GETs are"
  echo "counted by Redis itself: a request that sends none was answered from the worker's memory."
  echo
  echo "| tile memory | req/s (median) | every round | X-Cache HIT | answered from memory | p99 of each round |"
  echo "|---|---|---|---|---|---|"
  stop_mapsvc "$svc_pid"
  start on --workers 0 --memory-cache-mb 256
  base_on=$base
  start off --workers 0 --memory-cache-mb 0
  base_off=$base
  : >"$work/on.txt"; : >"$work/off.txt"
  for _ in $(seq "$rounds"); do
    for mode in on off; do
      b=base_$mode
      gets0=$(redis info commandstats | sed -n 's/^cmdstat_get:calls=\([0-9]*\).*/\1/p')
      line=$(wrk_line -t2 -c64 -d"${duration}s" -s "$here/zipf.lua" "${!b}" -- "$work/zipf.txt" 1.0 7)
      gets1=$(redis info commandstats | sed -n 's/^cmdstat_get:calls=\([0-9]*\).*/\1/p')
      read -r answered hits <<<"$(sed -n 's/^xcache answered=\([0-9]*\) hits=\([0-9]*\).*/\1 \2/p' "$work/wrk.out")"
      echo "$line $answered $hits $((gets1 - gets0))" >>"$work/$mode.txt"
    done
  done
  for mode in on off; do
    m=$(cut -d' ' -f1 "$work/$mode.txt" | median)
    ratios=$(awk '{a += $4; h += $5; g += $6} END {printf "%.2f %% | %.2f %%", 100 * h / a, 100 * (1 - g / a)}' "$work/$mode.txt")
    label=$([[ $mode == on ]] && echo "on, 256 MB per worker" || echo "off")
    echo "| $label | $m | $(cut -d' ' -f1 "$work/$mode.txt" | tr '\n' ' ')| $ratios | $(cut -d' ' -f3 "$work/$mode.txt" | tr '\n' ' ')|"
  done
  echo
  echo "The first round with the memory on starts with it empty: its misses go to Redis."
  echo
  echo "load average after: $(load)"
  echo
  stop_mapsvc "$on_pid"; stop_mapsvc "$off_pid"
  start svc --workers 0 --memory-cache-mb 256
fi

if wanted cold; then
  # Every tile is a statement in PostgreSQL. --cold-redis refusing: Redis unreachable (a port
  # nothing listens on); up: this bench's Redis answers every read and takes every store, and
  # is flushed every 10 ms, so that no tile is found there again (a tile comes round again
  # only after the whole list).
  tile_list 16 100000 >"$work/z16.txt"
  count=$(wc -l <"$work/z16.txt")
  if [[ $cold_redis == up ]]; then cold_redis_port=$redis_port; else cold_redis_port=$(free_port); fi
  flusher() {
    node "$here/hc.js" flush "$redis_port" 10 &
    flusher_pid=$!
  }
  sql=$("$BUILD_DIR/bin/print_tile_sql" plots 16 | sed 's/;[[:space:]]*$//')
  read -r x0 x1 y0 y1 <<<"$(sed -E 's|/gis/plots/16/([0-9]+)/([0-9]+).pbf|\1 \2|' "$work/z16.txt" |
    awk 'NR == 1 {a = b = $1; c = d = $2} {if ($1 < a) a = $1; if ($1 > b) b = $1; if ($2 < c) c = $2; if ($2 > d) d = $2}
         END {print a, b, c, d}')"
  cat >"$work/tile.pgbench" <<EOF
\\set x random($x0, $x1)
\\set y random($y0, $y1)
\\set min_x -20037508.342789244 + :x * 611.49622628141
\\set max_x -20037508.342789244 + (:x + 1) * 611.49622628141
\\set max_y 20037508.342789244 - :y * 611.49622628141
\\set min_y 20037508.342789244 - (:y + 1) * 611.49622628141
$sql;
EOF
  # The CPU time of PostgreSQL's ended backends, in clock ticks: each client below gets
  # connections of its own and closes them at its end, so the difference is what its
  # statements cost the database.
  postmaster=$(head -1 "$(psql "$DATABASE_URL" -Atc 'SHOW data_directory')/postmaster.pid")
  ticks=$(getconf CLK_TCK)
  pg_ended_cpu() { awk '{print $16 + $17}' "/proc/$postmaster/stat"; }
  per_run() { calc %.3f "($(pg_ended_cpu) - $1) * 1000 / $ticks / $2"; }
  echo "## Cold tiles: Redis $([[ $cold_redis == up ]] && echo "up, flushed every 10 ms" || echo unreachable), $count z16 plots tiles ($x0..$x1 x $y0..$y1), against pgbench"
  echo
  echo "mapsvc --workers 0: wrk -t2 -d${duration}s -s bench/walk.lua (every tile once, shuffled, then again); pgbench:"
  echo "the same statement (print_tile_sql plots 16) on a random tile of the same range, -M prepared, -j2."
  echo "$rounds rounds alternating, medians (each round in brackets). \"PG ms per tile\": CPU time of the"
  echo "database's backends over the statements they ran (mapsvc restarted each round to end its own)."
  echo "Two settings: every process on every core, and PostgreSQL alone on core 1 with the clients"
  echo "(mapsvc and wrk, or pgbench) on core 0, which compares the pace each gets out of the database."
  all_cores=0-$((cores - 1))
  for setting in shared pinned; do
  if [[ $setting == pinned ]]; then
    ((cores >= 2)) || break
    pin_postgres 1
    taskset -p -c 0 $$ >/dev/null
  fi
  echo
  echo "$([[ $setting == shared ]] && echo "Every process on every core:" || echo "PostgreSQL on core 1; mapsvc, wrk and pgbench on core 0:")"
  echo
  echo "| concurrency | mapsvc tiles/s | pgbench statements/s | ratio | PG ms per tile: mapsvc / pgbench | mapsvc p99 |"
  echo "|---|---|---|---|---|---|"
  for c in 8 20; do
    : >"$work/m.txt"; : >"$work/p.txt"; : >"$work/mc.txt"; : >"$work/pc.txt"
    for r in $(seq "$rounds"); do
      cpu0=$(pg_ended_cpu)
      REDIS_PORT_OVERRIDE=$cold_redis_port start cold --workers 0
      # A second's warm-up opens the database connections; its statements count for the CPU.
      [[ $cold_redis == up ]] && flusher
      warm=$(wrk -t2 -c"$c" -d1s -s bench/walk.lua "$base" -- "$work/z16.txt" "$r" | awk '/requests in/ {print $1}')
      wrk_line -t2 -c"$c" -d"${duration}s" -s bench/walk.lua "$base" -- "$work/z16.txt" "$r" >>"$work/m.txt"
      if [[ $cold_redis == up ]]; then
        kill "$flusher_pid"
        wait "$flusher_pid" 2>/dev/null || true
        # What the tiles' answers came from: Redis answered (no hit expected) and memory.
        curl -s "$base/metrics" | grep '^mapsvc_tile_results_total' | awk '{print $1, $2}' >>"$work/levels.txt"
      fi
      stop_mapsvc "$cold_pid"
      sleep 0.3
      per_run "$cpu0" "$((warm + $(awk '/requests in/ {print $1}' "$work/wrk.out")))" >>"$work/mc.txt"
      cpu0=$(pg_ended_cpu)
      pgbench -n -M prepared -c "$c" -j 2 -T "$duration" -f "$work/tile.pgbench" "$DATABASE_URL" >"$work/pgbench.out" 2>&1
      sleep 0.3
      sed -n 's/^tps = \([0-9.]*\).*/\1/p' "$work/pgbench.out" >>"$work/p.txt"
      per_run "$cpu0" "$(sed -n 's/^number of transactions actually processed: \([0-9]*\).*/\1/p' "$work/pgbench.out")" >>"$work/pc.txt"
    done
    m=$(cut -d' ' -f1 "$work/m.txt" | median); p=$(median <"$work/p.txt")
    echo "| $c | $m [$(cut -d' ' -f1 "$work/m.txt" | tr '\n' ' ')] | $p [$(tr '\n' ' ' <"$work/p.txt")] |" \
      "$(calc %.2f "$m / $p") | $(median <"$work/mc.txt") / $(median <"$work/pc.txt") |" \
      "$(cut -d' ' -f3 "$work/m.txt" | tr '\n' ' ') |"
  done
  done
  pin_postgres "$all_cores"
  taskset -p -c "$all_cores" $$ >/dev/null
  if [[ $cold_redis == up ]]; then
    echo
    echo "Tile answers over every mapsvc run, by where they came from:" \
      "$(awk '{split($1, a, "level=\""); split(a[2], b, "\""); n[b[1]] += $2} END {for (l in n) printf "%s %d, ", l, n[l]}' "$work/levels.txt")"
  fi
  echo
  echo "load average after: $(load)"
  echo
fi

if wanted propagation; then
  start a --workers 1 --memory-cache-mb 64
  base_a=$base
  start b --workers 1 --memory-cache-mb 64
  base_b=$base
  # A tile with plots in it.
  tile=$(node "$here/hc.js" tiles "$base_a" plots 16 "$extent" 4 | awk '$2 == 200 {print $1}' | sed -n '20p')
  echo "## A change reaching another process's memory: $tile, two single-worker servers on one Redis"
  echo
  echo "Each trial first makes both servers answer the tile from memory, then changes it, then polls"
  echo "the other server without pause until it answers the change."
  echo
  echo '```'
  node "$here/hc.js" propagate set "$base_a" "$base_b" "$tile" "$redis_port" 0 50 | tail -1
  node "$here/hc.js" propagate post "$base_a" "$base_b" "$tile" "$redis_port" 0 50 | tail -1
  echo '```'
  echo
  echo "set: SET of the tile's key with new bytes by another Redis client, until B serves them."
  echo "post: POST /gis/cache/invalidate/plots answered by A, until B answers without X-Cache: HIT."
  echo
  stop_mapsvc "$a_pid"; stop_mapsvc "$b_pid"
fi

if wanted rss; then
  tile_list 16,17,18 100000 >"$work/all.txt"
  echo "## RSS of a worker whose tile memory is full"
  echo
  echo "mapsvc --workers 2, every z16 to z18 plots tile requested three times (each worker fills its"
  echo "own memory; an entry is charged 1.6 times its bytes, for its gzip copy), RSS of each worker"
  echo "from /proc before and after."
  echo
  echo "| --memory-cache-mb | tiles walked | MB answered per walk | worker RSS before (MB) | worker RSS after (MB) |"
  echo "|---|---|---|---|---|"
  for mb in 0 4 16; do
    start rss --workers 2 --memory-cache-mb "$mb"
    workers=$(pgrep -P "$rss_pid" | tr '\n' ' ')
    rss() { for w in $workers; do awk '/VmRSS/ {printf "%d ", $2 / 1024}' "/proc/$w/status"; done; }
    before=$(rss)
    for _ in 1 2 3; do node "$here/hc.js" paths "$base" "$work/all.txt" 8 >"$work/walk.txt"; done
    bytes=$(awk '{s += $3} END {print s}' "$work/walk.txt")
    echo "| $mb | $(wc -l <"$work/all.txt") | $((bytes / 1024 / 1024)) | $before | $(rss) |"
    stop_mapsvc "$rss_pid"
  done
  echo
fi
