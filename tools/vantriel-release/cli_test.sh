#!/usr/bin/env bash
# End-to-end run of vantriel-release: key, package, document, checks and unpacking, with
# the exit codes and texts scripts rely on.
set -euo pipefail
tool="$1"
keyfile="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

seed="$(awk '$1 == "seed" {print $2}' "$keyfile")"
pub="$(awk '$1 == "public" {print $2}' "$keyfile")"
echo "$seed" >"$work/test.key"

mkdir -p "$work/release/manual" "$work/release/tools"
printf 'MZ programa' >"$work/release/Vantriel.exe"
printf '# Manual' >"$work/release/manual/manual_es.md"
printf 'x' >"$work/release/tools/herramienta.exe"
chmod 0755 "$work/release/Vantriel.exe"
chmod 0600 "$work/release/manual/manual_es.md"
[[ "$("$tool" pack "$work/release" "$work/p.zip")" == 3 ]] || fail "pack count"
# What unzip restores: the program runnable, every other file readable by all.
modes="$(zipinfo "$work/p.zip" | awk '$NF ~ /^Vantriel\// {print $1, $NF}')"
[[ "$modes" == $'-rwxr-xr-x Vantriel/Vantriel.exe\n-rw-r--r-- Vantriel/manual/manual_es.md\n-rw-r--r-- Vantriel/tools/herramienta.exe' ]] ||
  fail "modes: $modes"
"$tool" sign "$work/p.zip" --key "$work/test.key" --version 1.2.0 \
  --url https://example.com/p.zip --out "$work/version.json"

out="$("$tool" check "$work/version.json" --running 0.1.1 --key "$pub" --package "$work/p.zip")" ||
  fail "check of a good release: $out"
[[ "$out" == *"would install"* && "$out" == *"2 files unpack"* ]] || fail "check output: $out"
if out="$("$tool" check "$work/version.json" --running 1.2.0 --key "$pub")"; then fail "not newer"; fi
[[ "$out" == *"is not newer"* ]] || fail "not newer output: $out"
if out="$("$tool" check "$work/version.json" --running 0.1.1 --key 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c)"; then
  fail "wrong key accepted"
fi
[[ "$out" == "la firma de la actualización no es válida; no se instalará nada" ]] || fail "wrong key: $out"
printf 'otro' >>"$work/p.zip"
if out="$("$tool" check "$work/version.json" --running 0.1.1 --key "$pub" --package "$work/p.zip")"; then
  fail "changed package accepted"
fi
[[ "$out" == *$'\n'"el archivo descargado no coincide con el publicado (SHA-256 distinto)" ]] || fail "sha: $out"
printf '[1]' >"$work/list.json"
if out="$("$tool" check "$work/list.json" --running 0.1.1)"; then fail "list accepted"; fi
[[ "$out" == "'list' object has no attribute 'get'" ]] || fail "list: $out"

# check-sig on RFC 8032's first test vector, then with one bit changed.
k=d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a
s=e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b
[[ "$("$tool" check-sig "$k" "" "$s")" == valid ]] || fail "check-sig valid"
if "$tool" check-sig "$k" "00" "$s" >/dev/null; then fail "check-sig invalid"; fi
if out="$("$tool" check-sig "$k" "0g" "$s")"; then fail "check-sig bad hex"; fi
[[ "$out" == "non-hexadecimal number found in fromhex() arg at position 1" ]] || fail "hex: $out"

[[ "$("$tool" unpack "$work/release.zip" "$work/out" 2>/dev/null || true)" == *"No such file"* ]] ||
  fail "unpack of a missing file"
head -c -4 "$work/p.zip" >"$work/q.zip"
[[ "$("$tool" unpack "$work/q.zip" "$work/out")" == 2 ]] || fail "unpack count"
[[ "$(cat "$work/out/manual/manual_es.md")" == "# Manual" ]] || fail "unpacked file"
printf 'no zip' >"$work/bad.zip"
if out="$("$tool" unpack "$work/bad.zip" "$work/out")"; then fail "bad zip"; fi
[[ "$out" == "File is not a zip file" ]] || fail "bad zip: $out"

(umask 000 && "$tool" keygen "$work/nueva" >"$work/pub.txt")
[[ "$(cat "$work/pub.txt")" == "$(cat "$work/nueva.pub")" ]] || fail "keygen"
# Owner-only from its creation, whatever the umask; never written through a link nor over
# an existing key (the publisher's one key would be lost).
[[ "$(stat -c %a "$work/nueva.key")" == 600 ]] || fail "keygen: secret mode $(stat -c %a "$work/nueva.key")"
before="$(sha256sum <"$work/nueva.key")"
if "$tool" keygen "$work/nueva" >/dev/null 2>"$work/err.txt"; then fail "keygen over an existing key"; fi
grep -q "already exists" "$work/err.txt" || fail "keygen over an existing key: $(cat "$work/err.txt")"
[[ "$(sha256sum <"$work/nueva.key")" == "$before" ]] || fail "keygen replaced an existing key"
printf 'elsewhere' >"$work/target.txt"
ln -s "$work/target.txt" "$work/enlace.key"
ln -s "$work/missing.txt" "$work/colgante.key"
for prefix in enlace colgante; do
  if "$tool" keygen "$work/$prefix" >/dev/null 2>&1; then fail "keygen through the link $prefix.key"; fi
  [[ ! -e "$work/$prefix.pub" ]] || fail "keygen left a public half beside the link $prefix.key"
done
[[ "$(cat "$work/target.txt")" == elsewhere && ! -e "$work/missing.txt" ]] || fail "keygen wrote through a link"
# The public half of a secret key file: what tools/release.sh builds into the program.
[[ "$("$tool" public-key "$work/nueva.key")" == "$(cat "$work/nueva.pub")" ]] || fail "public-key"
[[ "$("$tool" public-key "$work/test.key")" == "$pub" ]] || fail "public-key of the test seed"
if "$tool" public-key "$work/list.json" 2>/dev/null; then fail "public-key of a file without a seed"; fi

# The list of hashes signed in minisign's format: the standard tool accepts it with the
# key's minisign form and refuses a changed byte of the file or of the signed comment.
"$tool" minisign-key "$work/test.key" >"$work/minisign.pub"
printf 'abc  Vantriel-1.2.0-linux-x86_64.zip\n' >"$work/SUMS"
"$tool" minisign "$work/SUMS" --key "$work/test.key" --comment "Vantriel v1.2.0, SHA256SUMS of abc1234"
cp "$work/SUMS.minisig" "$work/first.minisig"
"$tool" minisign "$work/SUMS" --key "$work/test.key" --comment "Vantriel v1.2.0, SHA256SUMS of abc1234"
cmp -s "$work/SUMS.minisig" "$work/first.minisig" || fail "minisign: the same file signed twice differs"
if "$tool" minisign "$work/SUMS" --key "$work/test.key" --comment $'two\nlines' 2>/dev/null; then
  fail "minisign: a comment of two lines"
fi
if command -v minisign >/dev/null; then
  out="$(minisign -Vm "$work/SUMS" -p "$work/minisign.pub")" || fail "minisign -V: $out"
  [[ "$out" == *"Trusted comment: Vantriel v1.2.0, SHA256SUMS of abc1234" ]] || fail "minisign -V: $out"
  printf 'abd  Vantriel-1.2.0-linux-x86_64.zip\n' >"$work/SUMS"
  if minisign -Vm "$work/SUMS" -p "$work/minisign.pub" >/dev/null 2>&1; then fail "minisign: a changed file verified"; fi
  printf 'abc  Vantriel-1.2.0-linux-x86_64.zip\n' >"$work/SUMS"
  sed -i 's/^trusted comment: .*/trusted comment: Vantriel v9.9.9, SHA256SUMS of abc1234/' "$work/SUMS.minisig"
  if minisign -Vm "$work/SUMS" -p "$work/minisign.pub" >/dev/null 2>&1; then fail "minisign: a changed comment verified"; fi
  # Another key's public half does not verify it.
  "$tool" minisign-key "$work/nueva.key" >"$work/other.pub"
  if minisign -Vm "$work/SUMS" -p "$work/other.pub" -x "$work/first.minisig" >/dev/null 2>&1; then
    fail "minisign: another key verified"
  fi
  minisign -Vm "$work/SUMS" -p "$work/minisign.pub" -x "$work/first.minisig" >/dev/null || fail "minisign: the first signature"
else
  echo "vantriel-release: minisign is not installed (tools/setup.sh installs it): its checks skipped"
fi
echo "vantriel-release: all checks passed"
