#!/usr/bin/env bash
# Builds a release of Vantriel from this checkout and writes it into OUTDIR:
#
#   Vantriel-VERSION-windows-x64.zip   the portable folder Vantriel/ for Windows
#   Vantriel-VERSION-linux-x86_64.zip  the same for Linux
#   version.json                       the signed release document of the Windows archive
#   linux/version.json                 the same for the Linux archive
#   vantriel-signal_VERSION_amd64.deb  the signalling server's package
#   SHA256SUMS                         over all of them
#   SHA256SUMS.minisig                 its signature by the release key, in minisign's format
#   minisign.pub                       the release key's public half in minisign's format
#
# Anyone can check the list and a download with standard tools:
#   minisign -Vm SHA256SUMS -p minisign.pub && sha256sum -c --ignore-missing SHA256SUMS
#
#   VTR_RELEASE_KEY=SECRET_FILE tools/release.sh VERSION OUTDIR [--base-url URL] [--allow-dirty]
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
  sed -n '/^#   VTR_RELEASE_KEY/s/^#   //p' "${BASH_SOURCE[0]}" >&2
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
[[ -n "${VTR_RELEASE_KEY:-}" ]] || fail "VTR_RELEASE_KEY must name the publisher's secret key file"
[[ -r "$VTR_RELEASE_KEY" ]] || fail "cannot read the key file $VTR_RELEASE_KEY"
key_file="$(cd "$(dirname "$VTR_RELEASE_KEY")" && pwd)/$(basename "$VTR_RELEASE_KEY")"

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
public_key="$("$tool" public-key "$key_file")"
release_options=(-DVANTRIEL_RELEASE_VERSION="$version" -DVANTRIEL_RELEASE_KEY_HEX="$public_key"
                 -DVANTRIEL_RELEASE_BASE_URL="$base_url")
cmake -S . -B "$linux" "${release_options[@]}" >/dev/null
step "building the Linux programs"
cmake --build "$linux" --target vantriel_release vantriel-signal
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
stage_folder windows-x64 "$windows/bin/release/Vantriel.exe" "${licences[@]}" \
  apps/vantriel/licencias/gcc-runtime.txt apps/vantriel/licencias/mingw-w64.txt
stage_folder linux-x86_64 "$linux/bin/release/vantriel" "${licences[@]}"

# Archives and their signed documents, each checked as the updater will judge it.
step "packing and signing"
mkdir -p "$out/linux"
date="$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)"
published=()
for platform in windows-x64 linux-x86_64; do
  archive="Vantriel-$version-$platform.zip"
  document="version.json"
  [[ "$platform" == linux-* ]] && document="linux/version.json"
  "$tool" pack "$stage/$platform/Vantriel" "$out/$archive" >/dev/null
  "$tool" sign "$out/$archive" --key "$key_file" --version "$version" --date "$date" \
    --url "$base_url$archive" --out "$out/$document"
  "$tool" check "$out/$document" --running 0 --key "$public_key" --package "$out/$archive" >/dev/null ||
    fail "$document does not pass the updater's checks"
  published+=("$archive" "$document")
done

deb_script=apps/vantriel-signal/packaging/build-deb.sh
if [[ -x "$deb_script" ]]; then
  step "packaging the signalling server"
  "$deb_script" "$version" "$root/$linux/bin/vantriel-signal" "$out"
  deb="vantriel-signal_${version}_amd64.deb"
  [[ -f "$out/$deb" ]] || fail "$deb_script did not write $deb"
  published+=("$deb")
else
  echo "release: no $deb_script yet: the release has no .deb"
fi

(cd "$out" && sha256sum "${published[@]}" >SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
"$tool" minisign "$out/SHA256SUMS" --key "$key_file" --comment "Vantriel v$version, SHA256SUMS of $commit"
"$tool" minisign-key "$key_file" >"$out/minisign.pub"
step "v$version of $commit is in $out"
(cd "$out" && ls -l "${published[@]}" SHA256SUMS SHA256SUMS.minisig minisign.pub | awk '{print "  " $5 "\t" $NF}')
echo "release: public key $public_key"
