#!/usr/bin/env bash
# Builds a release of Vantriel from this checkout and writes it into OUTDIR:
#
#   Vantriel-VERSION-windows-x64.zip   the portable folder Vantriel/ for Windows
#   Vantriel-VERSION-linux-x86_64.zip  the same for Linux
#   version.json                       the signed release document of the Windows archive
#   linux/version.json                 the same for the Linux archive
#   vantriel-signal_VERSION_amd64.deb  the signalling server's package
#   *.cdx.json                         the bill of materials of each archive and of the package
#   Vantriel-VERSION-windows-x64.authenticode.pem  the Windows program's signature, when signed
#   SHA256SUMS                         over all of them
#   SHA256SUMS.minisig                 its signature by the release key, in minisign's format
#   minisign.pub                       the release key's public half in minisign's format
#
# Anyone can check the list and a download with standard tools:
#   minisign -Vm SHA256SUMS -p minisign.pub && sha256sum -c --ignore-missing SHA256SUMS
#
#   VTR_RELEASE_KEY=SECRET_FILE tools/release.sh VERSION OUTDIR [--base-url URL] [--allow-dirty]
#   VTR_RELEASE_PUBLIC_KEY=HEX tools/release.sh VERSION OUTDIR [--base-url URL] [--allow-dirty]
#
# Authenticode: with the publisher's code-signing certificate the Windows program is
# signed with osslsigncode, and its signature is published beside the release:
#   VTR_AUTHENTICODE_CERT=CHAIN.pem  the certificate and its chain (PEM)
#   VTR_AUTHENTICODE_KEY=FILE|URI    its key: a PEM file, or a pkcs11: URI for a key in a
#                                    hardware module, with VTR_AUTHENTICODE_PKCS11_MODULE
#                                    naming the module's library (the PIN from a file:
#                                    "pkcs11:token=T;object=K;type=private?pin-source=file:PATH")
#   VTR_AUTHENTICODE_TIMESTAMP=URL   an RFC 3161 time-stamp server (optional)
# A rebuild attaches the published signature instead (VTR_AUTHENTICODE_SIGNATURE=FILE,
# checked against the system's CAs or VTR_AUTHENTICODE_CA=FILE), and so gives the very
# bytes of the published program.
#
# The second form is anyone's rebuild of a published release, to check it against its
# source: with the publisher's public key (the hexadecimal of `vantriel-release public-key`,
# the same 32 bytes as in minisign.pub) it builds and packs the same archives and package,
# signs nothing, and lists their hashes in SHA256SUMS; then, in OUTDIR,
# `sha256sum -c --ignore-missing PUBLISHED/SHA256SUMS` must say OK for each of them.
#
# SECRET_FILE is the publisher's key as `vantriel-release keygen` writes it; the programs
# of the release trust its public half and report VERSION (--version). The documents name
# their archives under URL (default https://vantriel.app/descargas/), where OUTDIR's files
# are to be published as they are; the programs look for their document there. A tree with
# uncommitted or untracked changes is refused unless --allow-dirty is given.
#
# Builds: build/release-linux (Release, Linux) and build/windows (the MinGW build, the
# same folder tools/test.sh builds: only bin/release/Vantriel.exe is made for the release).
# A second release compiles the version and key files again and links; nothing else.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

fail() { echo "release: $*" >&2; exit 1; }
usage() {
  sed -n '/^#   VTR_RELEASE_/s/^#   //p' "${BASH_SOURCE[0]}" >&2
  exit 2
}

version="" out="" base_url="https://vantriel.app/descargas/" allow_dirty=0
while (($#)); do
  case "$1" in
    --base-url) (($# >= 2)) || usage; base_url="$2"; shift 2 ;;
    --allow-dirty) allow_dirty=1; shift ;;
    -*) usage ;;
    *)
      if [[ -z "$version" ]]; then version="$1"
      elif [[ -z "$out" ]]; then out="$1"
      else usage; fi
      shift ;;
  esac
done
[[ -n "$version" && -n "$out" ]] || usage
[[ "$version" =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "VERSION is dotted numbers (1.4.0), not '$version'"
[[ "$base_url" == */ ]] || base_url="$base_url/"
[[ "$base_url" =~ ^https://[^[:space:]\"\\]+/$ ]] || fail "--base-url must be an https:// address"
key_file=""
if [[ -n "${VTR_RELEASE_KEY:-}" ]]; then
  [[ -r "$VTR_RELEASE_KEY" ]] || fail "cannot read the key file $VTR_RELEASE_KEY"
  key_file="$(cd "$(dirname "$VTR_RELEASE_KEY")" && pwd)/$(basename "$VTR_RELEASE_KEY")"
elif [[ -n "${VTR_RELEASE_PUBLIC_KEY:-}" ]]; then
  [[ "$VTR_RELEASE_PUBLIC_KEY" =~ ^[0-9a-f]{64}$ ]] ||
    fail "VTR_RELEASE_PUBLIC_KEY must be the publisher's public key: 64 lowercase hexadecimal digits"
else
  fail "VTR_RELEASE_KEY must name the publisher's secret key file (or, to rebuild a published release, VTR_RELEASE_PUBLIC_KEY give its public key)"
fi

# What is built is what is committed, unless the publisher says otherwise.
if ! changes="$(git status --porcelain 2>/dev/null)"; then
  ((allow_dirty)) || fail "not a git checkout: cannot tell what the release is built from (--allow-dirty)"
  commit="unknown"
else
  if [[ -n "$changes" ]] && ((!allow_dirty)); then
    echo "$changes" | head -20 >&2
    fail "the tree has uncommitted changes; commit them, or pass --allow-dirty"
  fi
  commit="$(git rev-parse --short HEAD)${changes:+ with uncommitted changes}"
fi

mkdir -p "$out"
out="$(cd "$out" && pwd)"
[[ -z "$(ls -A "$out")" ]] || fail "$out is not empty"

# Every time written into the release is the commit's, so that two builds of one commit
# give the same bytes (the package's files, the documents' date).
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || date +%s)"
fi
export SOURCE_DATE_EPOCH

started=$SECONDS
step() { printf 'release: %s (%d s)\n' "$*" $((SECONDS - started)); }

# Linux. The release tool comes first: it tells the public half of the key, which the
# programs are then built to trust.
linux=build/release-linux
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRIEL_APP_VERSION="$version")
step "configuring $linux"
cmake -S . -B "$linux" "${common[@]}" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$linux" --target vantriel-release
tool="$root/$linux/bin/vantriel-release"
if [[ -n "$key_file" ]]; then
  public_key="$("$tool" public-key "$key_file")"
else
  public_key="$VTR_RELEASE_PUBLIC_KEY"
fi
release_options=(-DVANTRIEL_RELEASE_VERSION="$version" -DVANTRIEL_RELEASE_KEY_HEX="$public_key"
                 -DVANTRIEL_RELEASE_BASE_URL="$base_url")
cmake -S . -B "$linux" "${release_options[@]}" >/dev/null
step "building the Linux programs"
# vantriel-signal-health: the container image's check (apps/vantriel-signal/container).
cmake --build "$linux" --target vantriel_release vantriel-signal vantriel-signal-health
[[ "$("$linux/bin/release/vantriel" --version)" == "Vantriel v$version" ]] ||
  fail "$linux/bin/release/vantriel does not report v$version"

# Windows: the tests' build, which keeps its own program; the release's is bin/release's.
windows=build/windows
step "building the Windows program in $windows"
if [[ -f "$windows/CMakeCache.txt" ]]; then
  cmake -S . -B "$windows" "${release_options[@]}" >/dev/null
else
  cmake -S . -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "${release_options[@]}" >/dev/null
fi
cmake --build "$windows" --target vantriel_release
windows_program="$windows/bin/release/Vantriel.exe"
authenticode=""
if [[ -n "${VTR_AUTHENTICODE_CERT:-}" || -n "${VTR_AUTHENTICODE_SIGNATURE:-}" ]]; then
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (apt-get install osslsigncode)"
  mkdir -p "$root/build/release-signed"
  signed="$root/build/release-signed/Vantriel.exe"
  rm -f "$signed"
  if [[ -n "${VTR_AUTHENTICODE_CERT:-}" ]]; then
    [[ -n "$key_file" ]] || fail "a rebuild attaches the published signature (VTR_AUTHENTICODE_SIGNATURE); it signs nothing"
    [[ -r "$VTR_AUTHENTICODE_CERT" ]] || fail "cannot read the certificate file $VTR_AUTHENTICODE_CERT"
    [[ -n "${VTR_AUTHENTICODE_KEY:-}" ]] || fail "VTR_AUTHENTICODE_KEY must name the certificate's key"
    sign_key=(-key "$VTR_AUTHENTICODE_KEY")
    if [[ "$VTR_AUTHENTICODE_KEY" == pkcs11:* ]]; then
      [[ -n "${VTR_AUTHENTICODE_PKCS11_MODULE:-}" ]] || fail "a pkcs11: key needs VTR_AUTHENTICODE_PKCS11_MODULE"
      sign_key+=(-pkcs11module "$VTR_AUTHENTICODE_PKCS11_MODULE")
    else
      [[ -r "$VTR_AUTHENTICODE_KEY" ]] || fail "cannot read the key file $VTR_AUTHENTICODE_KEY"
    fi
    timestamp=()
    [[ -n "${VTR_AUTHENTICODE_TIMESTAMP:-}" ]] && timestamp=(-ts "$VTR_AUTHENTICODE_TIMESTAMP")
    step "signing the Windows program (Authenticode)"
    osslsigncode sign -certs "$VTR_AUTHENTICODE_CERT" "${sign_key[@]}" -h sha256 \
      -n Vantriel -i "https://vantriel.app/" "${timestamp[@]}" \
      -in "$windows_program" -out "$signed" >"$root/build/release-authenticode.log" 2>&1 ||
      { cat "$root/build/release-authenticode.log" >&2; fail "osslsigncode could not sign $windows_program"; }
    # Published beside the release: anyone's build of this commit plus this signature is
    # the published program.
    authenticode="Vantriel-$version-windows-x64.authenticode.pem"
    osslsigncode extract-signature -pem -in "$signed" -out "$out/$authenticode" \
      >>"$root/build/release-authenticode.log" 2>&1 ||
      { cat "$root/build/release-authenticode.log" >&2; fail "osslsigncode could not extract the signature"; }
  else
    [[ -r "$VTR_AUTHENTICODE_SIGNATURE" ]] || fail "cannot read the signature $VTR_AUTHENTICODE_SIGNATURE"
    # osslsigncode checks the signature it attaches against the system's CAs, or these.
    ca=()
    [[ -n "${VTR_AUTHENTICODE_CA:-}" ]] && ca=(-CAfile "$VTR_AUTHENTICODE_CA")
    osslsigncode attach-signature -sigin "$VTR_AUTHENTICODE_SIGNATURE" "${ca[@]}" \
      -in "$windows_program" -out "$signed" >"$root/build/release-authenticode.log" 2>&1 ||
      { cat "$root/build/release-authenticode.log" >&2; fail "the signature $VTR_AUTHENTICODE_SIGNATURE does not attach to this build"; }
  fi
  windows_program="$signed"
fi

# The portable folders: the program, the manuals and the licences of what is linked in.
stage="$(mktemp -d "$root/build/release-stage.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
stage_folder() {  # PLATFORM PROGRAM LICENCES...
  local folder="$stage/$1/Vantriel" program="$2"
  shift 2
  mkdir -p "$folder/manual" "$folder/licencias"
  install -m 0755 "$program" "$folder/"
  install -m 0644 apps/vantriel/manual/manual_es.md apps/vantriel/manual/manual_en.md "$folder/manual/"
  install -m 0644 apps/vantriel/licencias/LEEME.txt "$@" "$folder/licencias/"
  install -m 0644 apps/vantriel/ui/font/LICENSE-manrope.txt "$folder/licencias/manrope.txt"
}
licences=(apps/vantriel/licencias/boost.txt apps/vantriel/licencias/nlohmann-json.txt)
stage_folder windows-x64 "$windows_program" "${licences[@]}" \
  apps/vantriel/licencias/gcc-runtime.txt apps/vantriel/licencias/mingw-w64.txt
stage_folder linux-x86_64 "$linux/bin/release/vantriel" "${licences[@]}" \
  apps/vantriel/licencias/wayland-protocols.txt

# Archives and their signed documents, each checked as the updater will judge it.
step "packing and signing"
if [[ -n "$key_file" ]]; then mkdir -p "$out/linux"; fi
date="$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)"
published=()
for platform in windows-x64 linux-x86_64; do
  archive="Vantriel-$version-$platform.zip"
  document="version.json"
  [[ "$platform" == linux-* ]] && document="linux/version.json"
  "$tool" pack "$stage/$platform/Vantriel" "$out/$archive" >/dev/null
  bom="Vantriel-$version-$platform.cdx.json"
  target=linux program=vantriel
  [[ "$platform" == windows-* ]] && target=windows program=Vantriel.exe
  tools/release-bom.py --name Vantriel --version "$version" --commit "$commit" --target "$target" \
    --program "$stage/$platform/Vantriel/$program" --licences "$stage/$platform/Vantriel/licencias" \
    --font --out "$out/$bom"
  published+=("$archive" "$bom")
  [[ -n "$key_file" ]] || continue
  "$tool" sign "$out/$archive" --key "$key_file" --version "$version" --date "$date" \
    --url "$base_url$archive" --out "$out/$document"
  "$tool" check "$out/$document" --running 0 --key "$public_key" --package "$out/$archive" >/dev/null ||
    fail "$document does not pass the updater's checks"
  published+=("$document")
done

[[ -z "$authenticode" ]] || published+=("$authenticode")

deb_script=apps/vantriel-signal/packaging/build-deb.sh
if [[ -x "$deb_script" ]]; then
  step "packaging the signalling server"
  "$deb_script" "$version" "$root/$linux/bin/vantriel-signal" "$out"
  deb="vantriel-signal_${version}_amd64.deb"
  [[ -f "$out/$deb" ]] || fail "$deb_script did not write $deb"
  # The bill of materials of the program as the package holds it (stripped).
  dpkg-deb -x "$out/$deb" "$stage/deb"
  tools/release-bom.py --name vantriel-signal --version "$version" --commit "$commit" --target linux \
    --program "$stage/deb/usr/bin/vantriel-signal" --out "$out/vantriel-signal_${version}_amd64.cdx.json"
  published+=("$deb" "vantriel-signal_${version}_amd64.cdx.json")
else
  echo "release: no $deb_script yet: the release has no .deb"
fi

(cd "$out" && sha256sum "${published[@]}" >SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
listed=("${published[@]}" SHA256SUMS)
if [[ -n "$key_file" ]]; then
  "$tool" minisign "$out/SHA256SUMS" --key "$key_file" --comment "Vantriel v$version, SHA256SUMS of $commit"
  "$tool" minisign-key "$key_file" >"$out/minisign.pub"
  listed+=(SHA256SUMS.minisig minisign.pub)
  step "v$version of $commit is in $out"
else
  step "a rebuild of v$version from $commit is in $out (nothing signed)"
fi
(cd "$out" && ls -l "${listed[@]}" | awk '{print "  " $5 "\t" $NF}')
echo "release: public key $public_key"
