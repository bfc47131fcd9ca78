#!/usr/bin/env bash
# Builds the Release benchmarks once and runs each. Figures only; nothing here passes or fails
# on time. Set BENCH_ONLY=local-server|input|update|download|signal|page|session|files|calls|netlab|picture
# to run one; PICTURE_ARGS (e.g. "--seconds 3 --nets loopback") shortens the picture benchmark.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
tools/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRIEL_BENCHMARKS=ON \
  -DBUILD_TESTING=OFF >/dev/null
only="${BENCH_ONLY:-}"
# The browser benchmarks need only the two servers and the probe window.
case "$only" in
  page|session|files|calls|netlab|picture) cmake --build build/bench --target vantriel vantriel-signal desktop_probe ;;
  *) cmake --build build/bench ;;
esac

if [[ -z "$only" || "$only" == local-server ]]; then
  echo "=== loopback server ==="
  # A private session bus with a stand-in tray host, so the idle host shows its icon.
  dbus-run-session -- bash -c "/usr/bin/python3 tests/desktop_shell/bus_stand_ins.py watcher >/dev/null &
    sleep 0.5; build/bench/bin/bench-local-server build/bench/bin/vantriel"
fi
if [[ -z "$only" || "$only" == input ]]; then
  echo "=== remote input through the host ==="
  VANTRIEL_EXE="$root/build/bench/bin/vantriel" python3 tests/desktop/bench_input.py
fi
if [[ -z "$only" || "$only" == update ]]; then
  echo "=== updater library ==="
  VANTRIEL_BENCH_BUILD="$root/build/bench" tools/vantriel-release/bench.sh
fi
if [[ -z "$only" || "$only" == download ]]; then
  echo "=== update download through the host ==="
  tests/update/bench_download.sh build/bench
fi
if [[ -z "$only" || "$only" == signal ]] && [[ -x tools/signal-load/run_benchmark.sh ]]; then
  echo "=== signalling server ==="
  tools/signal-load/run_benchmark.sh
fi
if [[ -z "$only" || "$only" == page ]]; then
  echo "=== the desktop page and the technician's page in any browser ==="
  node tests/e2e/bench_page.mjs "$root/build/bench/bin/vantriel" "$root/build/bench/bin/vantriel-signal"
fi
if [[ -z "$only" || "$only" == session ]]; then
  echo "=== a support session between two PCs ==="
  VANTRIEL_BIN="$root/build/bench/bin/vantriel" VANTRIEL_SIGNAL_BIN="$root/build/bench/bin/vantriel-signal" \
    DESKTOP_PROBE="$root/build/bench/bin/desktop_probe" node tests/e2e/bench_session.mjs
fi
if [[ -z "$only" || "$only" == files ]]; then
  echo "=== file transfer in a session ==="
  VANTRIEL_BIN="$root/build/bench/bin/vantriel" VANTRIEL_SIGNAL_BIN="$root/build/bench/bin/vantriel-signal" \
    DESKTOP_PROBE="$root/build/bench/bin/desktop_probe" node tests/e2e/bench_files.mjs
fi
if [[ -z "$only" || "$only" == calls ]]; then
  echo "=== voice rooms of 2, 4 and 8 members ==="
  VANTRIEL_BIN="$root/build/bench/bin/vantriel" VANTRIEL_SIGNAL_BIN="$root/build/bench/bin/vantriel-signal" \
    DESKTOP_PROBE="$root/build/bench/bin/desktop_probe" node tests/e2e/bench_calls.mjs
fi
if [[ -z "$only" || "$only" == netlab ]]; then
  echo "=== a session across the network lab, beside loopback ==="
  VANTRIEL_BIN="$root/build/bench/bin/vantriel" VANTRIEL_SIGNAL_BIN="$root/build/bench/bin/vantriel-signal" \
    DESKTOP_PROBE="$root/build/bench/bin/desktop_probe" node tests/e2e/bench_netlab.mjs
fi
if [[ -z "$only" || "$only" == picture ]]; then
  echo "=== the picture per codec and quality, on loopback and on a bad link ==="
  # tesseract reads the text of received frames: a test oracle only.
  if ! command -v tesseract >/dev/null; then
    apt-get install -y tesseract-ocr tesseract-ocr-eng >/dev/null || echo "tesseract-ocr could not be installed"
  fi
  # shellcheck disable=SC2086 # PICTURE_ARGS is a list of switches
  VANTRIEL_BIN="$root/build/bench/bin/vantriel" VANTRIEL_SIGNAL_BIN="$root/build/bench/bin/vantriel-signal" \
    DESKTOP_PROBE="$root/build/bench/bin/desktop_probe" node tests/e2e/bench_picture.mjs ${PICTURE_ARGS:-}
fi
