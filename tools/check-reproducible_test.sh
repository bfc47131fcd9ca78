#!/usr/bin/env bash
# The comparison of tools/check-reproducible.sh: identical releases pass; one changed
# byte, a missing file or an extra one fails and is named.
set -euo pipefail
check="$(dirname "${BASH_SOURCE[0]}")/check-reproducible.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/a/linux"
printf 'PK zip' >"$work/a/Vantriel-1.0-windows-x64.zip"
printf '{"v": 1}' >"$work/a/linux/version.json"
printf 'name with spaces' >"$work/a/SHA256 SUMS"
cp -a "$work/a" "$work/b"
out="$("$check" --compare "$work/a" "$work/b")" || fail "identical: $out"
[[ "$out" == *"identical (3 files)"* ]] || fail "identical: $out"

printf '{"v": 2}' >"$work/b/linux/version.json"
if out="$("$check" --compare "$work/a" "$work/b")"; then fail "a changed byte passed"; fi
[[ "$out" == *"differs: ./linux/version.json"* ]] || fail "changed byte: $out"
[[ "$out" != *"Vantriel-1.0"* ]] || fail "an identical file named: $out"

cp "$work/a/linux/version.json" "$work/b/linux/version.json"
rm "$work/b/SHA256 SUMS"
printf 'x' >"$work/b/extra.deb"
if out="$("$check" --compare "$work/a" "$work/b")"; then fail "a missing file passed"; fi
[[ "$out" == *"only in the first release: ./SHA256 SUMS"* && "$out" == *"only in the second release: ./extra.deb"* ]] ||
  fail "missing and extra: $out"
echo "check-reproducible: comparison checks passed"
