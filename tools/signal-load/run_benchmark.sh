#!/usr/bin/env bash
# Measures vantriel-signal under load and, in the same run, the reference relay on Node's
# ws package. Builds a Release server and the load generator (in $BUILD, build/signal-bench
# unless set), installs the reference relay's dependency with npm, and prints the figures
# with the machine's load average beside them. Not part of the test suite; all traffic
# stays on 127.0.0.1. Settings (defaults):
#   HOSTS (10000) JOINS (1000) PAIRS (100) RATE (5000) SECONDS_EACH (10) BURST (4)
#   BOUND_MS (10) START_RATE (5000) MAX_RATE (500000) STEP_SECONDS (2) ROOMS (50) ROUNDS (2)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
build="${BUILD:-build/signal-bench}"
nice cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
nice cmake --build "$build" --target vantriel-signal signal-load

(cd tools/signal-load/reference && npm install --no-audit --no-fund --silent)

ulimit -n "$(ulimit -Hn)" || true
work="$(mktemp -d)"
port="${PORT:-18890}"
ref_port="${REF_PORT:-18891}"
cleanup() {
  [[ -n "${server_pid:-}" ]] && kill "$server_pid" 2>/dev/null || true
  [[ -n "${ref_pid:-}" ]] && kill "$ref_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Limits opened up: every client of the benchmark comes from 127.0.0.1.
"$build/bin/vantriel-signal" --host 127.0.0.1 --port "$port" --data "$work/signal.json" \
  --conns-per-addr 100000 --max-conns 100000 --new-ids-per-hour 1000000 \
  --joins-per-min 1000000 --msg-rate 1000000 --msg-burst 1000000 \
  --new-rooms-per-hour 1000000 --call-max-misses 0 \
  >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
node tools/signal-load/reference/relay.mjs "$ref_port" >"$work/ref.out" 2>&1 &
ref_pid=$!
for _ in $(seq 50); do
  grep -q listening "$work/server.out" && grep -q listening "$work/ref.out" && break
  sleep 0.1
done

echo "vantriel-signal pid $server_pid on $port; reference relay pid $ref_pid on $ref_port; $(nproc) cores"
echo "before: $(uptime)"
"$build/bin/signal-load" --port "$port" --server-pid "$server_pid" \
  --reference-port "$ref_port" --reference-pid "$ref_pid" \
  --hosts "${HOSTS:-10000}" --joins "${JOINS:-1000}" --pairs "${PAIRS:-100}" \
  --rate "${RATE:-5000}" --seconds "${SECONDS_EACH:-10}" --burst "${BURST:-4}" \
  --bound-ms "${BOUND_MS:-10}" --start-rate "${START_RATE:-5000}" \
  --max-rate "${MAX_RATE:-500000}" --step-seconds "${STEP_SECONDS:-2}" \
  --rooms "${ROOMS:-50}" --rounds "${ROUNDS:-2}"
echo "after: $(uptime)"
echo "server log: $(wc -l <"$work/server.log") lines"
