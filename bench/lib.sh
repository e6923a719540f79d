# Shared by the benchmark scripts, sourced from the checkout's root:  . bench/lib.sh

# The load average over 1, 5 and 15 minutes.
load() { cut -d' ' -f1-3 /proc/loadavg; }

# A TCP port of 127.0.0.1 that nothing listens on now.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

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

# The median of the numbers on standard input, one per line.
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

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
# port, or $MAPSVC_PORT when set) with the tile cache in database 0 of the Redis on REDIS_PORT,
# logging to $work/NAME.log; waited for until it answers. Sets NAME_pid and NAME_base, $base
# and $started_pid, and adds it to $pids; exits with its log when it does not start.
start_mapsvc() {
  local name=$1 binary=$2 redis_port=$3 db_url=$4
  shift 4
  local port=${MAPSVC_PORT:-$(free_port)}
  REDIS_HOST=127.0.0.1 REDIS_PORT=$redis_port REDIS_DB=0 \
    "$binary" --port "$port" --database-url "$db_url" --log-level warning "$@" >"$work/$name.log" 2>&1 &
  started_pid=$!
  pids+=("$started_pid")
  base="http://127.0.0.1:$port"
  eval "${name}_pid=$started_pid; ${name}_base=$base"
  local _
  for _ in $(seq 300); do
    curl -sf "$base/gis/layers/" >/dev/null && return 0
    sleep 0.05
  done
  echo "mapsvc $name did not start:" >&2
  cat "$work/$name.log" >&2
  exit 1
}

# pin_postgres CORES: the local services' PostgreSQL (its server process and every process it
# started; sessions opened later inherit the cores) onto CORES, e.g. "1" or "0-1".
pin_postgres() {
  local checkpointer postmaster p
  checkpointer=$(psql "$DATABASE_URL" -Atc "SELECT pid FROM pg_stat_activity WHERE backend_type = 'checkpointer'")
  postmaster=$(ps -o ppid= -p "$checkpointer" | tr -d ' ')
  for p in "$postmaster" $(pgrep -P "$postmaster"); do taskset -a -p -c "$1" "$p" >/dev/null 2>&1 || true; done
}
