#!/usr/bin/env bash
# Runs a browser check against a real mapsvc: a small demo cadastre in a database of its
# own (with the change feed installed), the server on a free port, then
# tests/browser/preview.test.mjs, or the check named.
#
#   tests/browser/with-server.sh path/to/mapsvc [tests/browser/live.test.mjs]
set -euo pipefail
mapsvc=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
admin_url=${DATABASE_URL:-postgresql://postgres@127.0.0.1:55432/mapsvc}
url=${admin_url%/*}/mapsvc_browser_test

if [[ -z "$(psql "$admin_url" -Atc "SELECT 1 FROM pg_database WHERE datname = 'mapsvc_browser_test'")" ]]; then
  psql "$admin_url" -qc "CREATE DATABASE mapsvc_browser_test"
fi
"$repo/scripts/demo-data" --if-empty --plots 5000 --database-url "$url" >/dev/null
DATABASE_URL=$url "$mapsvc" --install-change-feed >/dev/null
check=${2:-$repo/tests/browser/preview.test.mjs}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
# The one other origin allowed to read (and purge): the test serves a page there.
listed_port=$(free_port)
log=$(mktemp)
# A clean cache before the server starts: emptied under a running server, it would also lose the
# change feed's lease and cache id, and the edit the live check makes could wait for them.
redis-cli -p "${REDIS_PORT:-56379}" -n 6 flushdb >/dev/null
REDIS_DB=6 DATABASE_URL=$url MAPSVC_CORS_ORIGINS="http://127.0.0.1:$listed_port" \
  "$mapsvc" --port "$port" --web-root "$repo/web" >"$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/gis/layers/" >/dev/null && break; sleep 0.1; done

export MAPSVC_URL="http://127.0.0.1:$port"
export MAPSVC_LISTED_ORIGIN_PORT=$listed_port
export MAPSVC_ARTIFACTS=${MAPSVC_ARTIFACTS:-$repo/test-artifacts}
if ! DATABASE_URL=$url node "$check"; then
  echo "--- mapsvc log" >&2
  tail -40 "$log" >&2
  exit 1
fi
