#!/usr/bin/env bash
# Makes the two releases the release test installs (test_update.ReleaseUpdateTest), with
# tools/release.sh and a throwaway key made by vantriel-release keygen:
#
#   tests/update/make_releases.sh OUT [RELEASE_TOOL]
#
# OUT/old and OUT/new hold an older and a newer release, published (as their documents
# say and their programs look) at a loopback address the test serves; OUT/releases.json
# names the versions, that address and the public key. RELEASE_TOOL makes the key
# (default: build/check's). The tree may have uncommitted changes: these are test builds.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${1:?usage: make_releases.sh OUT [RELEASE_TOOL]}"
tool="${2:-$root/build/check/bin/vantriel-release}"
old=0.9.0
new=0.9.1
# A fixed port below the ephemeral range, where no other test listens: the signed
# documents name it.
base_url="https://127.0.0.1:18443/"

started=$SECONDS
mkdir -p "$out/key"
out="$(cd "$out" && pwd)"
public_key="$("$tool" keygen "$out/key/publisher")"
export VTR_RELEASE_KEY="$out/key/publisher.key"
"$root/tools/release.sh" "$old" "$out/old" --base-url "$base_url" --allow-dirty
"$root/tools/release.sh" "$new" "$out/new" --base-url "$base_url" --allow-dirty
printf '{"old": "%s", "new": "%s", "base_url": "%s", "public_key": "%s"}\n' \
  "$old" "$new" "$base_url" "$public_key" >"$out/releases.json"
echo "make_releases: v$old and v$new in $out in $((SECONDS - started)) s"
