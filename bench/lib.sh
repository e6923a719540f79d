# shellcheck shell=bash
# Shared by the benchmark scripts, sourced from the checkout's root:  . bench/lib.sh
# The drivers are bash; what a line of awk cannot say is a Node program: bench/lib/*.js (tile
# lists and walks, a layer's description, JSON lines, HTTP and Redis) or one in the suite's folder.

# The folder of the shared Node programs, wherever the caller runs from.
bench_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")/lib" && pwd)
# port_holder PORT: what holds a loopback port (the check scripts/services and scripts/cluster make).
# shellcheck source=../scripts/lib/ports.sh
. "$bench_lib/../../scripts/lib/ports.sh"

# The load average over 1, 5 and 15 minutes.
load() { cut -d' ' -f1-3 /proc/loadavg; }

# A TCP port of 127.0.0.1 that nothing listens on now (the kernel's pick).
free_port() {
  node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });'
}

# need_free_port PORT [HINT]: for a server about to listen on a fixed port; exits, naming the
# port and what holds it (and the HINT, e.g. which setting moves it), when it is taken.
need_free_port() {
  local holder
  holder=$(port_holder "$1")
  [[ -z $holder ]] && return 0
  echo "port $1 is taken by $holder${2:+; $2}" >&2
  exit 1
}

# calc FORMAT EXPRESSION: awk's arithmetic (with max(a, b) and min(a, b)) printed with printf's
# FORMAT, which rounds half to even:  calc %.2f "$a / $b",  calc %.0f "$n / max($cpu, 0.01)".
# Only numbers, operators and brackets are taken: the values come from other programs' output.
calc() {
  local format=$1 expr=$2 rest numeric='^[-0-9eE.+*/%^(), ]*$'
  rest=${expr//max(/(}
  rest=${rest//min(/(}
  if [[ $format == *[\"\\]* || ! $rest =~ $numeric ]]; then
    echo "calc: not a numeric expression: $format $expr" >&2
    return 1
  fi
  awk "function max(a, b) { return a > b ? a : b }
       function min(a, b) { return a < b ? a : b }
       BEGIN { printf \"$format\\n\", ($expr) }" </dev/null
}

# tile_size Z: the side of a Web Mercator tile of zoom Z in EPSG:3857 metres, in the shortest
# text that reads back as the same double.
tile_size() {
  [[ $1 =~ ^[0-9]+$ ]] || { echo "tile_size: not a zoom: $1" >&2; return 1; }
  node -p "2 * 20037508.342789244 / 2 ** $1"
}

# bench_workdir NAME: a scratch folder in $work and a list $pids of processes to end; at exit
# the processes are killed and waited for and the folder is removed.
bench_workdir() {
  work=$(mktemp -d "/tmp/mapsvc-$1.XXXXXX")
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

# The median of the numbers on standard input, one per line (the mean of the middle two for an
# even count); nothing when there are none.
median() {
  sort -g | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else if (NR) printf "%.15g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# ticks_of PID: the CPU time (user + system, clock ticks) of a process and its children.
ticks_of() {
  local total=0 p u s
  for p in "$1" $(pgrep -P "$1"); do
    read -r u s < <(awk '{print $14, $15}' "/proc/$p/stat" 2>/dev/null || echo "0 0")
    total=$((total + u + s))
  done
  echo "$total"
}

# start_mapsvc NAME BINARY REDIS_PORT DATABASE_URL [FLAGS...]: a server on 127.0.0.1 (a free
# port, or $MAPSVC_PORT when set, which must be free) with the tile cache in database
# $MAPSVC_REDIS_DB (default 0) of the Redis on REDIS_PORT, logging to $work/NAME.log; waited
# for until it answers. Sets NAME_pid and NAME_base, $base and $started_pid, and adds it to
# $pids; exits with its log when it does not start.
start_mapsvc() {
  local name=$1 binary=$2 redis_port=$3 db_url=$4
  shift 4
  local port
  if [[ -n ${MAPSVC_PORT:-} ]]; then
    port=$MAPSVC_PORT
    # Another server there would answer the readiness check below in this one's place.
    need_free_port "$port" "set by MAPSVC_PORT for mapsvc $name"
  else
    port=$(free_port)
  fi
  REDIS_HOST=127.0.0.1 REDIS_PORT=$redis_port REDIS_DB=${MAPSVC_REDIS_DB:-0} \
    "$binary" --port "$port" --database-url "$db_url" --log-level warning "$@" >"$work/$name.log" 2>&1 &
  started_pid=$!
  pids+=("$started_pid")
  base="http://127.0.0.1:$port"
  eval "${name}_pid=$started_pid; ${name}_base=$base"
  local _
  for _ in $(seq 300); do
    kill -0 "$started_pid" 2>/dev/null || break
    curl -sf "$base/gis/layers/" >/dev/null && return 0
    sleep 0.05
  done
  echo "mapsvc $name did not start:" >&2
  cat "$work/$name.log" >&2
  exit 1
}

# stop_mapsvc PID: ends a server of start_mapsvc and waits for it (its port is free again).
stop_mapsvc() {
  local pid=$1 p kept=()
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  for p in "${pids[@]}"; do [[ $p == "$pid" ]] || kept+=("$p"); done
  pids=("${kept[@]}")
}

# pin_postgres CORES: the local services' PostgreSQL (its server process and every process it
# started; sessions opened later inherit the cores) onto CORES, e.g. "1" or "0-1".
pin_postgres() {
  local checkpointer postmaster p
  checkpointer=$(psql "$DATABASE_URL" -Atc "SELECT pid FROM pg_stat_activity WHERE backend_type = 'checkpointer'")
  postmaster=$(ps -o ppid= -p "$checkpointer" | tr -d ' ')
  for p in "$postmaster" $(pgrep -P "$postmaster"); do taskset -a -p -c "$1" "$p" >/dev/null 2>&1 || true; done
}
