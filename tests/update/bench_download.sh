#!/usr/bin/env bash
# Times a 50 MB update download through the host against curl on the same local server.
# Usage: tests/update/bench_download.sh BUILD_DIR   (a build with the vantriel and
# vantriel-release targets built). Prints figures only; a benchmark, not a test.
set -euo pipefail
build="$(cd "${1:?usage: bench_download.sh BUILD_DIR}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
export VANTRIEL_EXE="$build/bin/vantriel"
export VANTRIEL_RELEASE_TOOL="$build/bin/vantriel-release"
export VANTRIEL_TEST_KEY="$here/../../libs/morvane-update/testdata/test_update_key.txt"
export PYTHONDONTWRITEBYTECODE=1
cd "$here"
exec python3 bench_download.py
