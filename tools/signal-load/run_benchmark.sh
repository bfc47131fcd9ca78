#!/usr/bin/env bash
# Measures vantriel-signal under load and, in the same run, the reference relay on Node's
# ws package, then three nodes sharing a redis-server. Builds a Release server and the
# load generator (in $BUILD, build/signal-bench unless set), installs the reference
# relay's dependency with npm, and prints the figures with the machine's load average
# beside them. Not part of the test suite; all traffic stays on loopback (clients
# connect from 127.0.0.1 to 127.0.0.x, one more address per 20,000 idle hosts: one
# address has too few ports for 100,000 connections). Settings (defaults):
#   CLUSTER_HOSTS (100000, over the nodes) HOSTS (on one node: a node's share of those)
#   NODES (3; more when the open-files limit cannot hold CLUSTER_HOSTS on that many)
#   JOIN_AT (10000: joins are measured with that many idle hosts, then with all)
#   JOINS (1000) PAIRS (100)
#   RATE (5000) SECONDS_EACH (10) BURST (4) BOUND_MS (10) START_RATE (5000)
#   MAX_RATE (500000) STEP_SECONDS (2) ROOMS (50) ROUNDS (2)
#   TIME_LIMIT (3600: seconds the load generator may run before it is stopped)
# Everything it starts is stopped when it ends, fails or is interrupted.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
build="${BUILD:-build/signal-bench}"
nice cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
nice cmake --build "$build" --target vantriel-signal signal-load

(cd tools/signal-load/reference && npm install --no-audit --no-fund --silent)

# 100,000 hosts are 200,000 sockets on this machine: raise the hard limit where allowed.
ulimit -Hn 1048576 2>/dev/null || true
ulimit -n "$(ulimit -Hn)" || true
# Each node holds its hosts' sockets within one process's limit, and so does each of the
# load generator's helpers. Where the limit is lower than the hosts need on NODES nodes,
# run as many nodes as it takes (a thousand descriptors spare on each for technicians,
# relay pairs, call members and Redis) and say so.
nodes="${NODES:-3}"
cluster_hosts="${CLUSTER_HOSTS:-100000}"
per_node_cap=$(( $(ulimit -n) - 1000 ))
if (( cluster_hosts > per_node_cap * nodes )); then
  needed=$(( (cluster_hosts + per_node_cap - 1) / per_node_cap ))
  echo "open files limited to $(ulimit -n) per process (hard limit): a node holds at most" \
    "$per_node_cap idle hosts, so $cluster_hosts take $needed nodes instead of $nodes"
  nodes=$needed
fi
single_hosts="${HOSTS:-$((cluster_hosts / nodes))}"
sources=$(( cluster_hosts / 20000 + 4 ))
(( sources < 8 )) && sources=8
join_at="${JOIN_AT:-10000}"
work="$(mktemp -d)"
port="${PORT:-18890}"
ref_port="${REF_PORT:-18891}"
redis_port="${REDIS_PORT:-18892}"
node_pids=()
cleanup() {
  [[ -n "${load_pid:-}" ]] && kill "$load_pid" 2>/dev/null || true  # its helpers follow it
  [[ -n "${server_pid:-}" ]] && kill "$server_pid" 2>/dev/null || true
  [[ -n "${ref_pid:-}" ]] && kill "$ref_pid" 2>/dev/null || true
  for pid in "${node_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -n "${redis_pid:-}" ]] && kill "$redis_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Limits opened up: every client of the benchmark comes from a few loopback addresses.
open_limits=(--conns-per-addr 200000 --max-conns 200000 --new-ids-per-hour 1000000
  --joins-per-min 1000000 --msg-rate 1000000 --msg-burst 1000000
  --new-rooms-per-hour 1000000 --call-max-misses 0)
"$build/bin/vantriel-signal" --host 127.0.0.1 --port "$port" --data "$work/signal.json" \
  "${open_limits[@]}" >"$work/server.out" 2>"$work/server.log" &
server_pid=$!

# Three nodes and the Redis they share, persisting as the README advises.
mkdir -p "$work/redis"
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work/redis" --save "" \
  --appendonly yes --appendfsync everysec --client-output-buffer-limit "pubsub 256mb 64mb 60" \
  --logfile "$work/redis.log" &
redis_pid=$!
for _ in $(seq 50); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done
node_ports=()
for i in $(seq "$nodes"); do
  node_port=$((port + 10 + i))
  "$build/bin/vantriel-signal" --host 127.0.0.1 --port "$node_port" \
    --redis "127.0.0.1:$redis_port" "${open_limits[@]}" \
    >"$work/node$i.out" 2>"$work/node$i.log" &
  node_pids+=($!)
  node_ports+=("$node_port")
done
for p in "${node_ports[@]}"; do
  for _ in $(seq 100); do curl -sf "http://127.0.0.1:$p/health" >/dev/null && break; sleep 0.1; done
done
node tools/signal-load/reference/relay.mjs "$ref_port" >"$work/ref.out" 2>&1 &
ref_pid=$!
for _ in $(seq 50); do
  grep -q listening "$work/server.out" && grep -q listening "$work/ref.out" && break
  sleep 0.1
done

echo "vantriel-signal pid $server_pid on $port; reference relay pid $ref_pid on $ref_port;" \
  "nodes ${node_pids[*]} on ${node_ports[*]}, redis $redis_pid on $redis_port; $(nproc) cores"
echo "before: $(uptime)"
timeout --kill-after=30 "${TIME_LIMIT:-3600}" "$build/bin/signal-load" --port "$port" --server-pid "$server_pid" \
  --reference-port "$ref_port" --reference-pid "$ref_pid" \
  --cluster-ports "$(IFS=,; echo "${node_ports[*]}")" --cluster-pids "$(IFS=,; echo "${node_pids[*]}")" \
  --redis-pid "$redis_pid" --cluster-hosts "$cluster_hosts" --join-at "$join_at" --sources "$sources" \
  --hosts "$single_hosts" --joins "${JOINS:-1000}" --pairs "${PAIRS:-100}" \
  --rate "${RATE:-5000}" --seconds "${SECONDS_EACH:-10}" --burst "${BURST:-4}" \
  --bound-ms "${BOUND_MS:-10}" --start-rate "${START_RATE:-5000}" \
  --max-rate "${MAX_RATE:-500000}" --step-seconds "${STEP_SECONDS:-2}" \
  --rooms "${ROOMS:-50}" --rounds "${ROUNDS:-2}" &
# In the background, so that an interruption reaches the trap at once.
load_pid=$!
wait "$load_pid"
load_pid=
echo "after: $(uptime)"
echo "server log: $(wc -l <"$work/server.log") lines; node logs: $(cat "$work"/node*.log | wc -l) lines"
grep -h "redis: .* down\|refused" "$work"/node*.log | head -5 || true
