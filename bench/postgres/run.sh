#!/usr/bin/env bash
# Point-select round trips through the host's pool beside the server's own pgbench, on the
# local services (scripts/services start). Usage: bench/postgres/run.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${1:-build}
SECONDS_EACH=${2:-10}
PG_PORT=${MAPSVC_PG_PORT:-55432}
admin=(psql -X -q -h 127.0.0.1 -p "$PG_PORT" -U postgres)
url="postgresql://postgres@127.0.0.1:$PG_PORT/pgbench"

if [[ -z "$("${admin[@]}" -Atc "SELECT 1 FROM pg_database WHERE datname = 'pgbench'")" ]]; then
  "${admin[@]}" -c 'CREATE DATABASE pgbench'
fi
pgbench -h 127.0.0.1 -p "$PG_PORT" -U postgres -i -s 10 -q pgbench 2>&1 | tail -1

for c in 1 8 32; do
  for mode in statement session session-2rt; do
    "$BUILD_DIR/bin/pg_bench" "$url" "$mode" "$c" "$SECONDS_EACH"
  done
  # The default pool size (DB_POOL_SIZE=10) with more requests than connections.
  if ((c > 10)); then "$BUILD_DIR/bin/pg_bench" "$url" session "$c" "$SECONDS_EACH" 10; fi
  for protocol in simple extended; do
    tps=$(pgbench -h 127.0.0.1 -p "$PG_PORT" -U postgres -n -S -M "$protocol" -c "$c" -j 2 -T "$SECONDS_EACH" pgbench |
      sed -n 's/^tps = \([0-9.]*\).*/\1/p')
    echo "pgbench -S -M $protocol c=$c j=2: $tps tps"
  done
done
