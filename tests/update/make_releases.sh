#!/usr/bin/env bash
# Makes the two releases the release test installs (test_update.ReleaseUpdateTest), with
# tools/release.sh and a throwaway key made by vantriel-release keygen:
#
#   tests/update/make_releases.sh OUT [RELEASE_TOOL]
#
# OUT/old and OUT/new hold an older and a newer release, published (as their documents
# say and their programs look) at a loopback address the test serves; OUT/releases.json
# names the versions, that address and the public key; OUT/rebuild is the newer one made
# again from the public key alone, as anyone checking it against its source would. The
# newer one's Windows program is signed (Authenticode) under a throwaway CA, OUT/authenticode,
# with the publisher's key in a SoftHSM token.
# RELEASE_TOOL makes the key (default: build/check's). The tree may have uncommitted changes: these are test builds.
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
# A throwaway code-signing certificate under a throwaway CA, for the newer release's
# Windows program.
ca="$out/authenticode"
mkdir -p "$ca"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca/ca.key" -out "$ca/ca.pem" -days 3650 \
  -subj "/CN=Vantriel test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$ca/publisher.key" -out "$ca/publisher.csr" \
  -subj "/CN=Vantriel test publisher" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$ca/ext.cnf"
openssl x509 -req -in "$ca/publisher.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -CAcreateserial \
  -out "$ca/publisher.pem" -days 3650 -extfile "$ca/ext.cnf" 2>/dev/null
cat "$ca/publisher.pem" "$ca/ca.pem" >"$ca/chain.pem"
# The publisher's key lives in a hardware module, as a publisher's should: SoftHSM's token
# stands for one. The key file is gone once imported; the PIN is read from a file named in
# the key's URI, so that it is in no process's arguments.
module=""
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  [[ -r "$candidate" ]] && module="$candidate" && break
done
[[ -n "$module" ]] || { echo "make_releases: SoftHSM is missing (apt-get install softhsm2 libengine-pkcs11-openssl)" >&2; exit 1; }
mkdir -p "$ca/hsm/tokens"
printf 'directories.tokendir = %s/hsm/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$ca" >"$ca/hsm/softhsm2.conf"
export SOFTHSM2_CONF="$ca/hsm/softhsm2.conf"
(umask 077 && printf '%s' "$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')" >"$ca/hsm/pin")
softhsm2-util --init-token --free --label vantriel-test --pin "$(cat "$ca/hsm/pin")" --so-pin "$(cat "$ca/hsm/pin")" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$ca/publisher.key" -out "$ca/publisher.p8"
softhsm2-util --import "$ca/publisher.p8" --token vantriel-test --label publisher --id 01 \
  --pin "$(cat "$ca/hsm/pin")" >/dev/null
rm -f "$ca/publisher.key" "$ca/publisher.p8"

"$root/tools/release.sh" "$old" "$out/old" --base-url "$base_url" --allow-dirty
VTR_AUTHENTICODE_CERT="$ca/chain.pem" VTR_AUTHENTICODE_PKCS11_MODULE="$module" \
  VTR_AUTHENTICODE_KEY="pkcs11:token=vantriel-test;object=publisher;type=private?pin-source=file:$ca/hsm/pin" \
  "$root/tools/release.sh" "$new" "$out/new" --base-url "$base_url" --allow-dirty
# The newer one again, as anyone would rebuild it with the public key alone and the
# published Authenticode signature, in another time zone, locale and umask: the same
# archives and package, nothing signed.
(umask 002 && TZ=America/Mexico_City LC_ALL=C VTR_RELEASE_KEY="" VTR_RELEASE_PUBLIC_KEY="$public_key" \
  VTR_AUTHENTICODE_SIGNATURE="$out/new/Vantriel-$new-windows-x64.authenticode.pem" VTR_AUTHENTICODE_CA="$ca/ca.pem" \
  "$root/tools/release.sh" "$new" "$out/rebuild" --base-url "$base_url" --allow-dirty)
printf '{"old": "%s", "new": "%s", "base_url": "%s", "public_key": "%s", "authenticode_ca": "%s", "key_file": "%s"}\n' \
  "$old" "$new" "$base_url" "$public_key" "$ca/ca.pem" "$VTR_RELEASE_KEY" >"$out/releases.json"
echo "make_releases: v$old and v$new in $out in $((SECONDS - started)) s"
