#!/usr/bin/env bash
# GET throughput of redis_client beside redis-benchmark, against one throw-away redis-server.
#   bench/redis/run.sh            (BUILD_DIR defaults to build; REQUESTS to 200000)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
REQUESTS=${REQUESTS:-200000}
bench="$BUILD_DIR/bin/redis_client_bench"
. bench/lib.sh
port=$(free_port)

redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --loglevel warning >/dev/null &
server=$!
trap 'kill $server' EXIT
until redis-cli -p "$port" ping >/dev/null 2>&1; do sleep 0.05; done

for size in 100 30000; do
  # redis-benchmark's GET reads the key "key:__rand_int__"; give it a value of the size.
  head -c "$size" /dev/zero | tr '\0' 'x' | redis-cli -p "$port" -x SET key:__rand_int__ >/dev/null
  echo "== value of $size bytes"
  echo "redis-benchmark -t get -n $REQUESTS -c 50 -d $size:"
  redis-benchmark -p "$port" -t get -n "$REQUESTS" -c 50 -d "$size" -q | tr '\r' '\n' | grep -v '^$' | tail -1
  # The client pipelines, so the server's pipelined rate is the ceiling to compare with.
  echo "redis-benchmark -t get -n $REQUESTS -c 50 -d $size -P 16:"
  redis-benchmark -p "$port" -t get -n "$REQUESTS" -c 50 -d "$size" -P 16 -q | tr '\r' '\n' | grep -v '^$' | tail -1
  for connections in 1 2; do
    "$bench" --port "$port" --requests "$REQUESTS" --concurrency 50 --connections "$connections"
  done
  "$bench" --port "$port" --requests "$REQUESTS" --concurrency 50 --connections 1 --timeout-ms 1000
  "$bench" --port "$port" --requests "$REQUESTS" --concurrency 1 --connections 1
done
