#!/usr/bin/env bash
# The Windows test layer: the MinGW build's unit tests, and the wire, desktop and update
# tests against Vantriel.exe, all under Debian's wine64, offline, on one private Xvfb.
#
#   tests/wine/run.sh [BUILD_DIR [CTEST_ARGS...]]   (default build/windows, as tools/test.sh
#                                                    builds it; -R update_release runs one test)
#
# Ends with a pass or fail line, what did not run and why, and the time the layer took.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/windows}" && pwd)"
(($#)) && shift
wine_run="$build/wine/wine-run"
started=$SECONDS

if [[ ! -x "$wine_run" || ! -f "$build/CTestTestfile.cmake" ]]; then
  echo "wine: $build is not a Windows build with tests; configure it with" \
       "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake and build it first" >&2
  exit 2
fi

export WINEPREFIX="$build/wine/prefix"
wineserver=/usr/lib/wine/wineserver
[[ -x "$wineserver" ]] || wineserver="$(command -v wineserver)"

# One X server for the whole layer. Wine's desktop process, which also serves the
# clipboard, attaches to the display of the first program that wants one and stays for
# the session, so every Windows program of the layer must see the same display. Its size
# and monitors are the desktop tests' (tests/wine/test_wine_desktop.py).
xvfb_pid=""
hold_pid=""
cleanup() {
  if [[ -n "$hold_pid" ]]; then kill "$hold_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
display_file="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1920x1080x24 +extension RANDR -nolisten tcp \
  3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do
  [[ -s "$display_file" ]] && break
  sleep 0.05
done
[[ -s "$display_file" ]] || { echo "wine: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$display_file")"
rm -f "$display_file"
export VANTRIEL_WINE_DISPLAY="$DISPLAY"

# A stale server of an earlier, interrupted run would keep its display; end it first.
"$wineserver" -k 2>/dev/null || true
t=$SECONDS
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "wine: making the prefix $WINEPREFIX (offline, once)"
fi
"$wine_run" cmd.exe /c exit 0 >/dev/null 2>&1
# One server for the whole layer rather than one per program start: the first program's
# server ends a moment after it, then a persistent one takes its place.
"$wineserver" -w
"$wineserver" -p
# Wine's services and desktop process inherit the standard handles of the program that
# starts them and outlive it; started here, they hold no test's pipe (which would keep
# CTest and the tests waiting for its end).
"$wine_run" "$build/bin/input_probe.exe" hold </dev/null >/dev/null 2>&1 &
hold_pid=$!
sleep 2
echo "wine: $(/usr/lib/wine/wine64 --version 2>/dev/null || echo wine), prefix and server ready in $((SECONDS - t)) s, DISPLAY=$DISPLAY"

log="$build/wine/ctest.log"
status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 --output-log "$log" "$@" || status=$?

echo
echo "=== Windows layer: not run under Wine ==="
sed -e '/^#/d' -e '/^$/d' "$root/tests/wine/not_run.txt" | sed 's/^/  /'
# Cases a test skipped at run time, with the reason it gave.
if grep -hE '^\[  SKIPPED \]|skipped ' "$build/Testing/Temporary/LastTest.log" 2>/dev/null |
   grep -vE 'SKIPPED \] [0-9]+ test' | sort -u | sed 's/^/  /' | grep .; then :; fi

elapsed=$((SECONDS - started))
if ((status == 0)); then
  echo "=== Windows layer: PASS in ${elapsed} s ==="
else
  echo "=== Windows layer: FAIL in ${elapsed} s (log: $log) ==="
fi
exit "$status"
