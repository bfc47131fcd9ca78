#!/usr/bin/env bash
# Sets up this machine, builds every configuration once and runs the whole test suite:
#   1. Linux with AddressSanitizer and UBSan: unit, wire, desktop (Xvfb) and page tests
#   2. the Windows cross build with MinGW-w64, its unit tests included
#   3. the lock contracts (GUARDED_BY, REQUIRES, ...) checked by clang's thread-safety
#      analysis over the sources of both builds (tools/check-lock-contracts.py)
#   4. the libFuzzer targets built with clang, each run briefly
# then two releases made by tools/release.sh with a throwaway key (the release test
# installs the older and updates it to the newer), and then the Windows layer: that
# build's tests under Wine (tests/wine/run.sh).
# VANTRIEL_FUZZ_SECONDS sets the time per fuzz target (default 10).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The time each step took is listed at the end, also when one fails, so that a slow step
# shows in any run's log.
timings=()
step_name="" step_start=$SECONDS
end_step() {
  [[ -n "$step_name" ]] && timings+=("$(printf '%5d s  %s' $((SECONDS - step_start)) "$step_name")")
  step_name="" step_start=$SECONDS
}
step() {
  end_step
  step_name="$*"
  printf '\n=== %s ===\n' "$*"
}
summary() {
  end_step
  printf '\n=== Time per step (%d s in all) ===\n' "$SECONDS"
  printf '%s\n' "${timings[@]}"
}
trap summary EXIT

step "Set-up (tools/setup.sh)"
tools/setup.sh

step "Linux build (sanitizers)"
cmake -S . -B build/check -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRIEL_SANITIZE=ON >/dev/null
cmake --build build/check

step "Windows build (MinGW-w64)"
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build/windows

step "Lock contracts (clang's thread-safety analysis of the Linux and Windows sources)"
python3 tools/check-lock-contracts.py build/check build/windows

step "Fuzz targets (clang)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRIEL_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# Only the fuzz targets and what they link: nothing else of this configuration runs.
mapfile -t fuzz_targets < <(cut -d'|' -f1 build/fuzz/fuzzers.txt | sed '/^$/d')
if ((${#fuzz_targets[@]})); then
  cmake --build build/fuzz --target "${fuzz_targets[@]}"
fi
fuzz_seconds="${VANTRIEL_FUZZ_SECONDS:-10}"
while IFS='|' read -r name corpus; do
  [[ -n "$name" ]] || continue
  work="build/fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [[ -n "$corpus" && -d "$corpus" ]] && seeds=("$corpus")
  echo "fuzz: $name for ${fuzz_seconds}s"
  "build/fuzz/bin/$name" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$work" "${seeds[@]}" \
    >"build/fuzz/$name.log" 2>&1 || { tail -50 "build/fuzz/$name.log"; exit 1; }
done <build/fuzz/fuzzers.txt

step "Releases (tools/release.sh, a throwaway key)"
# Their Linux build is build/release-linux; the Windows program is linked in build/windows
# as bin/release/Vantriel.exe, beside the tests' own. The test update_release reads them
# here and under Wine.
releases="$(mktemp -d)"
trap 'rm -rf "$releases"; summary' EXIT
tests/update/make_releases.sh "$releases"
export VANTRIEL_RELEASES="$releases"

step "Tests"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build/check --output-on-failure -j2 --timeout 600

step "Windows tests (Wine)"
tests/wine/run.sh build/windows
