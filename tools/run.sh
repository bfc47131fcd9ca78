#!/usr/bin/env bash
# Sets up this machine, builds Vantriel and starts it with a local signalling server.
# The host keeps its data in build/release/bin/data; stop both with Ctrl+C.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release

bin=build/release/bin
signal_port="${VANTRIEL_SIGNAL_PORT:-8890}"
if [[ -x "$bin/vantriel-signal" ]]; then
  "$bin/vantriel-signal" --host 127.0.0.1 --port "$signal_port" --data "$bin/data/signal.json" &
  signal_pid=$!
  trap 'kill $signal_pid 2>/dev/null || true' EXIT
  export VTR_SERVER="http://127.0.0.1:$signal_port"
fi
"$bin/vantriel" --no-elevate "$@"
