#!/usr/bin/env bash
# scripts/services and scripts/cluster start nothing when a port they need is taken, whether by a
# listener or by a client connection's local port, and name the port, its variable and holder.
set -euo pipefail
cd "$(dirname "$0")/../../.."

work=$(mktemp -d /tmp/mapsvc-ports-test.XXXXXX)
holder_pid=
cleanup() {
  [[ -n "$holder_pid" ]] && kill "$holder_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A listener on one port, and a connection to it whose own local port is the second.
python3 - "$work/ports" <<'PY' &
import socket, sys, time
listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen()
client = socket.create_connection(listener.getsockname())
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(f"{listener.getsockname()[1]} {client.getsockname()[1]}\n")
import os; os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(120)
PY
holder_pid=$!
for _ in $(seq 100); do [[ -f "$work/ports" ]] && break; sleep 0.05; done
read -r listening connected <"$work/ports"

failed=0
expect_refusal() {  # NAME EXPECTED-TEXT... -- COMMAND...: exits 1, says each text, creates no $work/state
  local name=$1 texts=() out rc
  shift
  while [[ $1 != -- ]]; do texts+=("$1"); shift; done
  shift
  rc=0
  out=$("$@" 2>&1) || rc=$?
  if ((rc != 1)); then echo "FAIL $name: exit status $rc, not 1: $out"; failed=1; return; fi
  for t in "${texts[@]}"; do
    [[ "$out" == *"$t"* ]] || { echo "FAIL $name: no '$t' in: $out"; failed=1; }
  done
  [[ ! -e "$work/state" ]] || { echo "FAIL $name: it created its data folder"; failed=1; }
  echo "ok $name"
}

expect_refusal services \
  "port $listening (PostgreSQL, MAPSVC_PG_PORT) is taken by python3 (pid $holder_pid)" \
  "port $connected (Redis, MAPSVC_REDIS_PORT) is taken by python3 (pid $holder_pid)" -- \
  env MAPSVC_SERVICES_DIR="$work/state" MAPSVC_PG_PORT="$listening" MAPSVC_REDIS_PORT="$connected" scripts/services start

expect_refusal cluster \
  "port $listening (PostgreSQL replica, MAPSVC_CLUSTER_PG_REPLICA_PORT) is taken by python3 (pid $holder_pid)" \
  "port $connected (mapsvc B, MAPSVC_CLUSTER_B_PORT) is taken by python3 (pid $holder_pid)" \
  "nothing started" -- \
  env MAPSVC_CLUSTER_DIR="$work/state" MAPSVC_CLUSTER_PG_REPLICA_PORT="$listening" MAPSVC_CLUSTER_B_PORT="$connected" \
  scripts/cluster start

exit $failed
