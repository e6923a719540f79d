#!/usr/bin/env bash
# The change feed from the outside, through HTTP on warm servers:
#   single   two servers of two workers each on one Redis and one database of this script's own
#            (demo cadastre, 50 000 plots): commit to new bytes on every instance, precision of
#            the invalidation, refresh ahead at z8-z12, and the cost of 10 edits/s on cache hits
#   cluster  scripts/cluster (Redis Cluster, PostgreSQL primary + streaming replica, instances A
#            and B reading from the replica): commit to new bytes on A and B
#   stale    scripts/cluster with the replica 2 s behind: 64 readers and one writer, answers
#            carrying replaced bytes later than commit + 3 s; STALE_CHAOS=1 repeats it while an
#            instance is killed and restarted, PostgreSQL restarted and a Redis primary killed
#   all      the three, one after the other (about an hour)
#
#   BUILD_DIR=build bench/feed/run.sh [single|cluster|stale|all]
#
# Settings: SINGLE_SECTIONS (commit,precision,refresh,cost: the parts of single to run),
# EDITS (1000, sections commit and precision), PRECISION_TILES (20000),
# REFRESH_ROUNDS (20), COST_ROUNDS (4), COST_SECONDS (10), STALE_EDITS (10000),
# STALE_SECONDS (600, the writer's limit), STALE_READER_PAUSE_MS (0), STALE_CHAOS (0),
# STALE_CHAOS_SECONDS (210),
# FEED_CLUSTER_PORT_BASE (22000: the cluster takes ports base+1 to base+83, and its Redis
# Cluster bus ports 10000 above those; below Linux's ephemeral ports, 32768 and up, where an
# outgoing connection could take a port first). Figures go to standard output as Markdown.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
mode=${1:-all}
case "$mode" in
  single | cluster | stale | all) ;;
  *) echo "usage: $0 [single|cluster|stale|all]" >&2; exit 2 ;;
esac
wanted() { [[ $mode == all || $mode == "$1" ]]; }
SINGLE_SECTIONS=${SINGLE_SECTIONS:-commit,precision,refresh,cost}
section() { [[ ",$SINGLE_SECTIONS," == *",$1,"* ]]; }
here=bench/feed
EDITS=${EDITS:-1000}
PRECISION_TILES=${PRECISION_TILES:-20000}
REFRESH_ROUNDS=${REFRESH_ROUNDS:-20}
COST_ROUNDS=${COST_ROUNDS:-4}
COST_SECONDS=${COST_SECONDS:-10}
STALE_EDITS=${STALE_EDITS:-10000}
STALE_SECONDS=${STALE_SECONDS:-600}
STALE_READER_PAUSE_MS=${STALE_READER_PAUSE_MS:-0}
STALE_CHAOS=${STALE_CHAOS:-0}
STALE_CHAOS_SECONDS=${STALE_CHAOS_SECONDS:-210}
port_base=${FEED_CLUSTER_PORT_BASE:-22000}
for v in EDITS PRECISION_TILES REFRESH_ROUNDS COST_ROUNDS COST_SECONDS STALE_EDITS STALE_SECONDS STALE_CHAOS_SECONDS \
  STALE_READER_PAUSE_MS port_base; do
  [[ "${!v}" =~ ^[0-9]{1,6}$ ]] || { echo "$v must be a whole number" >&2; exit 2; }
done
((port_base >= 20000 && port_base <= 65400)) || { echo "FEED_CLUSTER_PORT_BASE must be 20000-65400" >&2; exit 2; }

. bench/lib.sh
set -a; eval "$(scripts/services start)"; set +a
for tool in node npm wrk redis-server psql; do
  command -v "$tool" >/dev/null || { echo "$tool not found (scripts/install-deps installs it)" >&2; exit 1; }
done
# The driver's one package (pg), pinned by the lock file.
if [[ ! -d $here/node_modules || $here/package-lock.json -nt $here/node_modules ]]; then
  (cd "$here" && npm ci --no-audit --no-fund >/dev/null && touch node_modules)
fi

bench_workdir feed
chmod 755 "$work" # the cluster's PostgreSQL runs as postgres
# Copies, so that a rebuild of the tree meanwhile does not change what is measured; taken under
# the build lock, so that no link is half written.
for b in mapsvc print_tile_sql; do
  [[ -x "$BUILD_DIR/bin/$b" ]] || { echo "no $BUILD_DIR/bin/$b (cmake --build $BUILD_DIR --target mapsvc print_tile_sql)" >&2; exit 1; }
  flock "${FEED_BUILD_LOCK:-/tmp/mapsvc-build.lock}" cp "$BUILD_DIR/bin/$b" "$work/$b"
done
"$work/mapsvc" --help >/dev/null || { echo "$BUILD_DIR/bin/mapsvc --help fails" >&2; exit 1; }
built_from="commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(git status --porcelain --untracked-files=no 2>/dev/null | wc -l) files changed in the tree"

feed() { node "$here/feed.js" "$@" --print-tile-sql "$work/print_tile_sql"; }

bench_db=""
cluster_up=""
MAPSVC_CLUSTER_DIR=$work/cluster
cluster() {
  MAPSVC_CLUSTER_DIR="$work/cluster" MAPSVC_BIN="$work/mapsvc" MAPSVC_CLUSTER_SENTINEL_INSTANCE=0 \
    MAPSVC_CLUSTER_REDIS_PORTS="$((port_base + 1)) $((port_base + 2)) $((port_base + 3)) $((port_base + 4)) $((port_base + 5)) $((port_base + 6))" \
    MAPSVC_CLUSTER_SENTINEL_REDIS_PORTS="$((port_base + 11)) $((port_base + 12))" \
    MAPSVC_CLUSTER_SENTINEL_PORTS="$((port_base + 21)) $((port_base + 22)) $((port_base + 23))" \
    MAPSVC_CLUSTER_PG_PORT=$((port_base + 32)) MAPSVC_CLUSTER_PG_REPLICA_PORT=$((port_base + 33)) \
    MAPSVC_CLUSTER_HTTP_PORT=$((port_base + 80)) MAPSVC_CLUSTER_A_PORT=$((port_base + 81)) \
    MAPSVC_CLUSTER_B_PORT=$((port_base + 82)) MAPSVC_CLUSTER_S_PORT=$((port_base + 83)) \
    scripts/cluster "$@"
}
feed_cleanup() {
  if [[ -n $cluster_up ]]; then stop_cluster; fi
  # FEED_LOGS=DIR keeps the per-edit records and the servers' logs.
  if [[ -n ${FEED_LOGS:-} ]]; then
    mkdir -p "$FEED_LOGS" && cp "$work"/*.jsonl "$work"/*.log "$work"/*.err "$FEED_LOGS"/ 2>/dev/null || true
  fi
  bench_cleanup
  if [[ -n $bench_db ]]; then
    psql "${DATABASE_URL%/*}/postgres" -X -q -c "DROP DATABASE IF EXISTS \"$bench_db\" WITH (FORCE)" >/dev/null 2>&1 || true
  fi
}
trap feed_cleanup EXIT

# Nothing may already hold the cluster's ports (bench/lib.sh's need_free_port names the holder).
cluster_ports_free() {
  local p
  for p in $(seq $((port_base + 1)) $((port_base + 83))); do need_free_port "$p" "set FEED_CLUSTER_PORT_BASE"; done
}

# start_cluster [replica delay]: the cluster of this run, its settings in the environment.
start_cluster() {
  cluster_ports_free
  cluster_up=yes
  local started=$SECONDS
  MAPSVC_CLUSTER_REPLICA_DELAY=${1:-} cluster start >"$work/cluster.env" 2>"$work/cluster.err" ||
    { cat "$work/cluster.err" >&2; exit 1; }
  while IFS='=' read -r k v; do
    case $k in
      CLUSTER_A_URL | CLUSTER_B_URL | CLUSTER_PLOTS | CLUSTER_PG_PRIMARY_DIR | MAPSVC_CLUSTER_DIR) printf -v "$k" '%s' "$v" ;;
      DATABASE_URL) cluster_db=$v ;;
    esac
  done <"$work/cluster.env"
  echo "scripts/cluster started in $((SECONDS - started)) s ($CLUSTER_PLOTS plots${1:+, replica delay $1})."
}
stop_cluster() {
  local f
  for f in "$MAPSVC_CLUSTER_DIR"/log/mapsvc-*.log; do [[ -f $f ]] && cp "$f" "$work/cluster-$(date +%s)-${f##*/}"; done
  cluster stop >/dev/null 2>&1 || true
  cluster_up=""
}

# start NAME FLAGS...: a server of the single setup (bench/lib.sh's start_mapsvc); sets $base.
start() {
  local name=$1
  shift
  start_mapsvc "$name" "$work/mapsvc" "$redis_port" "$db_url" "$@"
  servers+=("$started_pid")
}
servers=()
# CPU time in clock ticks of the single setup: its servers (supervisors and workers) and their
# database sessions (the feed's, the pools', and the writer's while it runs).
ticks_of_pids() {  # user + system ticks of the given processes, summed
  local p t=0
  for p in "$@"; do
    [[ -r /proc/$p/stat ]] && t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
setup_ticks() {
  ticks_of_pids "${servers[@]}" $(pgrep -d ' ' -P "$(IFS=,; echo "${servers[*]}")") $(pgrep -d ' ' -f "^postgres: [^ ]+ $bench_db ")
}
# The same, apart: "SERVERS SESSIONS WRITER REDIS": the mapsvc processes, their database
# sessions, the session of the writer (application_name feed-writer: the edits themselves and
# the triggers that record them) and Redis.
split_ticks() {
  local writer_pid sessions=()
  writer_pid=$(psql "$db_url" -XAtc "SELECT pid FROM pg_stat_activity WHERE application_name = 'feed-writer'" 2>/dev/null | head -n 1)
  for p in $(pgrep -f "^postgres: [^ ]+ $bench_db "); do [[ $p == "$writer_pid" ]] || sessions+=("$p"); done
  echo "$(ticks_of_pids "${servers[@]}" $(pgrep -d ' ' -P "$(IFS=,; echo "${servers[*]}")")) $(ticks_of_pids "${sessions[@]}")" \
    "$(if [[ -n $writer_pid ]]; then ticks_of_pids "$writer_pid"; else echo 0; fi) $(ticks_of_pids "$redis_pid")"
}
lease_holder() {
  local b
  for b in "$@"; do
    [[ "$(curl -s "$b/metrics" | awk '$1 == "mapsvc_feed_lease_held" {print $2}')" == 1 ]] && { echo "$b"; return; }
  done
  echo none
}

echo "# Change feed: measured $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(load)"
echo
echo "mapsvc of $BUILD_DIR/bin, built $(date -u -r "$BUILD_DIR/bin/mapsvc" '+%H:%M UTC') ($built_from)"
echo

if wanted single; then
  bench_db=mapsvc_feed_bench_$$
  db_url="${DATABASE_URL%/*}/$bench_db"
  psql "${DATABASE_URL%/*}/postgres" -X -q -c "CREATE DATABASE \"$bench_db\""
  psql "$db_url" -X -q -c 'CREATE EXTENSION postgis'
  scripts/demo-data --plots 50000 --database-url "$db_url" >"$work/demo-data.log"
  redis_port=$(free_port)
  redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning \
    --notify-keyspace-events Egx >/dev/null &
  redis_pid=$!
  pids+=($!)
  until redis-cli -p "$redis_port" ping >/dev/null 2>&1; do sleep 0.05; done
  start a --workers 2
  base_a=$base
  start b --workers 2
  base_b=$base
  sleep 1 # the feed's lease is taken and the demo load's whole-table changes applied
  extent=$(curl -s "$base_a/gis/plots/" | node "$bench_lib/layer-info.js" extent)

  echo "## Single machine: two servers of two workers (mapsvc --workers 2), one Redis, one database"
  echo
  echo "Demo cadastre of 50 000 plots in a database of its own; Redis of its own. The feed's lease"
  echo "holder: $(lease_holder "$base_a" "$base_b") (of $base_a, $base_b)."
  echo
  if section commit; then
  echo "### Commit to new bytes on every instance ($EDITS edits, one at a time)"
  echo
  echo '```'
  echo "node bench/feed/feed.js commit --db DB --instances A,B --edits $EDITS --poll-ms 10 --timeout-ms 3000"
  echo '```'
  echo
  feed commit --db "$db_url" --instances "$base_a,$base_b" --edits "$EDITS" --timeout-ms 3000 --log "$work/commit-single.jsonl"
  echo
  echo "load average after: $(load)"
  echo

  fi

  if section precision; then
  echo "### Precision ($PRECISION_TILES warmed tiles, $EDITS edits)"
  echo
  echo '```'
  echo "node bench/feed/feed.js precision --db DB --instances A,B --redis-port P --extent PLOTS --tiles $PRECISION_TILES --edits $EDITS"
  echo '```'
  echo
  feed precision --db "$db_url" --instances "$base_a,$base_b" --redis-port "$redis_port" --extent "$extent" \
    --tiles "$PRECISION_TILES" --edits "$EDITS" --log "$work/precision.jsonl"
  echo
  echo "load average after: $(load)"
  echo

  fi

  if section refresh; then
  echo "### Refresh ahead: the first view at z8-z12 after edits"
  echo
  echo '```'
  echo "node bench/feed/feed.js refresh --db DB --instances A,B --extent PLOTS --rounds $REFRESH_ROUNDS --delay-ms 250,1000"
  echo '```'
  echo
  feed refresh --db "$db_url" --instances "$base_a,$base_b" --extent "$extent" --rounds "$REFRESH_ROUNDS" --delay-ms 250,1000
  echo
  echo "load average after: $(load)"
  echo

  fi

  if section cost; then
  # The mix: up to 10 000 z16-z18 tiles of parcels and beacons with bytes, warmed.
  node -e '
    const T = require("./bench/feed/lib/tiles");
    const [minx, miny, maxx, maxy] = process.argv[1].split(",").map(Number);
    const out = [];
    for (const layer of ["plots", "beacons"]) for (const t of T.tilesOver({ minx, miny, maxx, maxy }, 16, 18)) out.push(T.tilePath(layer, t));
    console.log(out.join("\n"));' "$extent" >"$work/mix-candidates.txt"
  node bench/hot-cache/hc.js paths "$base_a" "$work/mix-candidates.txt" 8 | awk '$2 == 200 && n++ < 10000 {print $1}' >"$work/mix.txt"
  node bench/hot-cache/hc.js paths "$base_a" "$work/mix.txt" 8 >/dev/null
  # hit_rounds PIN: COST_ROUNDS rounds of wrk with and without the writer, alternating; PIN is
  # a taskset prefix for wrk and the writer ("" for none). Prints the table and the loss, of
  # the answers a second and of the answers per CPU-second of the measured server (what the
  # instance pays, whatever else limits wrk).
  hit_rounds() {
    local pin=$1 r w edits_made rps p99 answered hits m share t0 t1 per_cpu
    echo "| writer | req/s (median) | every round | answers per CPU-second of the server (median) | X-Cache HIT | p99 of each round | edits made |"
    echo "|---|---|---|---|---|---|---|"
    : >"$work/cost-off.txt"; : >"$work/cost-on.txt"
    for r in $(seq "$COST_ROUNDS"); do
      for w in off on; do
        edits_made=0
        if [[ $w == on ]]; then
          $pin node "$here/feed.js" writer --db "$db_url" --rate 10 --seconds $((COST_SECONDS + 2)) --seed $((40 + r)) 2>"$work/writer.err" &
          writer=$!
          sleep 0.5
        fi
        t0=$(ticks_of_pids "${servers[0]}" $(pgrep -P "${servers[0]}"))
        $pin wrk -t2 -c64 -d"${COST_SECONDS}s" --latency -s bench/hot-cache/zipf.lua "$base_a" -- "$work/mix.txt" 1.0 $((7 + r)) >"$work/wrk.out"
        t1=$(ticks_of_pids "${servers[0]}" $(pgrep -P "${servers[0]}"))
        if [[ $w == on ]]; then
          kill -TERM "$writer" 2>/dev/null || true
          wait "$writer" || true
          edits_made=$(sed -n 's/^writer: \([0-9]*\) edits.*/\1/p' "$work/writer.err")
        fi
        rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
        p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.out")
        read -r answered hits <<<"$(sed -n 's/^xcache answered=\([0-9]*\) hits=\([0-9]*\).*/\1 \2/p' "$work/wrk.out")"
        per_cpu=$(calc %.0f "$answered / max(1, $t1 - $t0) * $(getconf CLK_TCK)")
        echo "$rps $p99 $answered $hits $edits_made $per_cpu" >>"$work/cost-$w.txt"
      done
    done
    for w in off on; do
      m=$(cut -d' ' -f1 "$work/cost-$w.txt" | median)
      eval "median_$w=$m"
      eval "per_cpu_$w=$(cut -d' ' -f6 "$work/cost-$w.txt" | median)"
      share=$(awk '{a += $3; h += $4} END {printf "%.2f %%", 100 * h / a}' "$work/cost-$w.txt")
      echo "| $w | $m | $(cut -d' ' -f1 "$work/cost-$w.txt" | tr '\n' ' ')| $(eval echo "\$per_cpu_$w") | $share |" \
        "$(cut -d' ' -f2 "$work/cost-$w.txt" | tr '\n' ' ')| $(cut -d' ' -f5 "$work/cost-$w.txt" | tr '\n' ' ')|"
    done
    echo
    echo "Loss with the writer: $(calc '%.1f %%' "100 * (1 - $median_on / $median_off)") of the answers a second," \
      "$(calc '%.1f %%' "100 * (1 - $per_cpu_on / $per_cpu_off)") of the answers per CPU-second of the server."
    echo
  }
  # pin_cores SERVER_CORES OTHERS_CORES: server A (its supervisor and workers) on the first
  # set, everything else of the setup (server B, Redis, PostgreSQL) on the second.
  pin_cores() {
    local p
    for p in $(pgrep -d ' ' -P "${servers[0]}") "${servers[0]}"; do taskset -a -p -c "$1" "$p" >/dev/null; done
    for p in $(pgrep -d ' ' -P "${servers[1]}") "${servers[1]}" "$redis_pid" $(pgrep -x postgres); do
      taskset -a -p -c "$2" "$p" >/dev/null 2>&1 || true
    done
  }
  echo "### Cache hits with and without 10 edits a second"
  echo
  echo "wrk -t2 -c64 -d${COST_SECONDS}s -s bench/hot-cache/zipf.lua (exponent 1.0) over $(wc -l <"$work/mix.txt") z16-z18 tiles of"
  echo "parcels and beacons with bytes, against one of the two servers ($base_a, lease holder: $(lease_holder "$base_a" "$base_b"));"
  echo "with the writer (node bench/feed/feed.js writer --rate 10) editing meanwhile, or not; $COST_ROUNDS rounds of each, alternating."
  echo
  echo "Everything on both cores (the servers, wrk, the writer, PostgreSQL and Redis share them):"
  echo
  hit_rounds ""
  if (($(nproc) >= 2)); then
    echo "The measured server on core 1 alone; wrk, the writer, the other server, PostgreSQL and Redis on"
    echo "core 0 (as on machines of their own: what the stream costs the instance that serves the hits):"
    echo
    pin_cores 1 0
    hit_rounds "taskset -c 0"
    pin_cores "0-$(($(nproc) - 1))" "0-$(($(nproc) - 1))"
  fi
  # What the stream costs by itself, without wrk: CPU of the servers and their sessions over
  # the same time with and without the writer, and apart: servers, their sessions, the writer's
  # session, Redis.
  : >"$work/cpu-off.txt"; : >"$work/cpu-on.txt"; : >"$work/split-off.txt"; : >"$work/split-on.txt"
  redis-cli -p "$redis_port" CONFIG RESETSTAT >/dev/null
  refreshed0=$(( $(curl -s "$base_a/metrics" | awk '$1 == "mapsvc_tiles_refreshed_total" {print $2}') + $(curl -s "$base_b/metrics" | awk '$1 == "mapsvc_tiles_refreshed_total" {print $2}') ))
  for r in $(seq "$COST_ROUNDS"); do
    for w in off on; do
      if [[ $w == on ]]; then
        node "$here/feed.js" writer --db "$db_url?application_name=feed-writer" --rate 10 --seconds $((COST_SECONDS + 2)) \
          --seed $((50 + r)) 2>"$work/writer.err" &
        writer=$!
      fi
      sleep 1
      t0=$(setup_ticks)
      read -r -a s0 <<<"$(split_ticks)"
      sleep "$COST_SECONDS"
      t1=$(setup_ticks)
      read -r -a s1 <<<"$(split_ticks)"
      if [[ $w == on ]]; then kill -TERM "$writer" 2>/dev/null || true; wait "$writer" || true; fi
      calc %.3f "($t1 - $t0) / $(getconf CLK_TCK) / $COST_SECONDS" >>"$work/cpu-$w.txt"
      # Each part of split_ticks, in the same order.
      split=()
      for i in "${!s1[@]}"; do split+=("$(calc %.4f "(${s1[i]} - ${s0[i]}) / $(getconf CLK_TCK) / $COST_SECONDS")"); done
      echo "${split[*]}" >>"$work/split-$w.txt"
    done
  done
  refreshed1=$(( $(curl -s "$base_a/metrics" | awk '$1 == "mapsvc_tiles_refreshed_total" {print $2}') + $(curl -s "$base_b/metrics" | awk '$1 == "mapsvc_tiles_refreshed_total" {print $2}') ))
  echo "Without wrk, the servers and their database sessions used $(median <"$work/cpu-off.txt") CPU-seconds a second"
  echo "idle [$(tr '\n' ' ' <"$work/cpu-off.txt")] and $(median <"$work/cpu-on.txt") with the writer [$(tr '\n' ' ' <"$work/cpu-on.txt")]"
  echo "($COST_ROUNDS rounds of ${COST_SECONDS} s each, alternating; $((refreshed1 - refreshed0)) tiles refreshed ahead meanwhile)."
  echo
  echo "The same apart, CPU-seconds a second (median of the rounds; the writer's session is that of the"
  echo "editing client, the edits and the triggers that record them: the database's work for the edits"
  echo "themselves, not the service's):"
  echo
  echo "| writer | servers | their sessions | the writer's session | Redis |"
  echo "|---|---|---|---|---|"
  for w in off on; do
    echo "| $w | $(cut -d' ' -f1 "$work/split-$w.txt" | median) | $(cut -d' ' -f2 "$work/split-$w.txt" | median) |" \
      "$(cut -d' ' -f3 "$work/split-$w.txt" | median) | $(cut -d' ' -f4 "$work/split-$w.txt" | median) |"
  done
  echo
  echo "Redis' own time by command over those rounds (both settings; INFO commandstats), over a"
  echo "keyspace of $(redis-cli -p "$redis_port" DBSIZE) keys, $(redis-cli -p "$redis_port" --scan --pattern 'mapsvc:gen:*' | wc -l) of them build generations:"
  echo
  echo "| command | calls | seconds | us per call |"
  echo "|---|---|---|---|"
  redis-cli -p "$redis_port" INFO commandstats | tr -d '\r' |
    sed -n 's/^cmdstat_\([^:]*\):calls=\([0-9]*\),usec=\([0-9]*\),usec_per_call=\([0-9.]*\).*/\1 \2 \3 \4/p' |
    sort -k3 -n -r | head -n 6 | awk '{printf "| %s | %d | %.2f | %.1f |\n", $1, $2, $3 / 1e6, $4}'
  echo
  echo "load average after: $(load)"
  echo
  fi
fi

if wanted cluster; then
  echo "## Cluster: scripts/cluster, instances A and B (one worker each) reading from the replica"
  echo
  start_cluster
  echo
  echo "### Commit to new bytes on A and B ($EDITS edits, one at a time)"
  echo
  echo '```'
  echo "node bench/feed/feed.js commit --db PRIMARY --instances A,B --edits $EDITS --poll-ms 10 --timeout-ms 3000"
  echo '```'
  echo
  feed commit --db "$cluster_db" --instances "$CLUSTER_A_URL,$CLUSTER_B_URL" --edits "$EDITS" --timeout-ms 3000 \
    --log "$work/commit-cluster.jsonl"
  echo
  echo "load average after: $(load)"
  echo
  stop_cluster
fi

# stale_run LABEL SECONDS: the staleness run on the cluster started last.
stale_run() {
  echo '```'
  echo "node bench/feed/feed.js stale --db PRIMARY --instances A,B --edits $STALE_EDITS --seconds $2" \
    "--readers 64 --reader-pause-ms $STALE_READER_PAUSE_MS --allowed-ms 3000"
  echo '```'
  echo
  feed stale --db "$cluster_db" --instances "$CLUSTER_A_URL,$CLUSTER_B_URL" --edits "$STALE_EDITS" \
    --seconds "$2" --readers 64 --reader-pause-ms "$STALE_READER_PAUSE_MS" --allowed-ms 3000 \
    --seed "${#1}" --log "$work/stale-$1.jsonl" 2>>"$work/stale.err"
  echo
  echo "load average after: $(load)"
  echo
}

# PostgreSQL's own tool, as the user that owns the cluster's data.
pg_ctl_primary() {
  local pg_ctl=${MAPSVC_PG_BIN:-/usr/lib/postgresql/15/bin}/pg_ctl
  if ((EUID == 0)); then runuser -u postgres -- "$pg_ctl" -D "$CLUSTER_PG_PRIMARY_DIR" "$@"; else "$pg_ctl" -D "$CLUSTER_PG_PRIMARY_DIR" "$@"; fi
}

if wanted stale; then
  echo "## Nothing stale: scripts/cluster with the replica 2 s behind"
  echo
  start_cluster 2s
  echo
  stale_run plain "$STALE_SECONDS"
  if ((STALE_CHAOS)); then
    echo "### The same while instance A is killed (-9) and restarted, PostgreSQL's primary restarted, a Redis primary killed"
    echo
    (
      sleep 60
      echo "chaos: kill -9 A at $(date -u +%T)" >&2
      kill -KILL "$(cat "$MAPSVC_CLUSTER_DIR/run/mapsvc-A.pid")" 2>/dev/null || true
      sleep 10
      echo "chaos: scripts/cluster start at $(date -u +%T)" >&2
      MAPSVC_CLUSTER_REPLICA_DELAY=2s cluster start >/dev/null 2>&1 || echo "chaos: restart failed" >&2
      sleep 40
      echo "chaos: PostgreSQL primary restart at $(date -u +%T)" >&2
      pg_ctl_primary restart -m fast -w -t 60 >/dev/null 2>&1 || echo "chaos: PostgreSQL restart failed" >&2
      echo "chaos: PostgreSQL primary back at $(date -u +%T)" >&2
      sleep 30
      # The Redis Cluster primary holding the feed's lease: its replica takes over its slots
      # (and whatever it had replicated); the killed node comes back as a replica.
      local_port=$((port_base + 1))
      slot=$(redis-cli -p "$local_port" cluster keyslot mapsvc:feed:lease | tr -d '\r')
      victim=$(redis-cli -p "$local_port" cluster nodes | tr -d '\r' | awk -v s="$slot" '$3 ~ /master/ && $3 !~ /fail/ {
        for (i = 9; i <= NF; i++) { split($i, r, "-"); if (r[2] == "") r[2] = r[1]; if (s >= r[1] && s <= r[2]) { split($2, a, "[:@]"); print a[2] } } }')
      echo "chaos: kill -9 the Redis primary $victim (slot $slot of the lease) at $(date -u +%T)" >&2
      [[ -n $victim ]] && kill -KILL "$(cat "$MAPSVC_CLUSTER_DIR/run/redis-$victim.pid")" 2>/dev/null || true
      sleep 20
      echo "chaos: scripts/cluster start (the Redis node back as a replica) at $(date -u +%T)" >&2
      MAPSVC_CLUSTER_REPLICA_DELAY=2s cluster start >/dev/null 2>&1 || echo "chaos: restart failed" >&2
    ) 2>>"$work/stale.err" &
    chaos=$!
    pids+=($chaos)
    stale_run chaos "$STALE_CHAOS_SECONDS"
    wait "$chaos" 2>/dev/null || true
    echo "Chaos schedule (from the start of the run): A killed at 60 s, restarted by scripts/cluster start at 70 s,"
    echo "the primary restarted (pg_ctl restart -m fast) at about 110 s, the Redis Cluster primary holding the feed's"
    echo "lease killed (-9) at about 140 s and brought back as a replica 20 s later: $(grep -c '^chaos' "$work/stale.err") events logged."
    grep '^chaos' "$work/stale.err" | sed 's/^/    /'
    echo
  fi
  grep -v '^chaos' "$work/stale.err" | tail -20 >&2 || true
  stop_cluster
fi
