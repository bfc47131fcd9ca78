#!/usr/bin/env bash
# Checks that a release can be made again from its source, byte for byte: builds the
# committed HEAD twice with tools/release.sh, from two fresh clones at different paths,
# under different time zones, locales and umasks, with one throwaway key, and compares
# every file of the two releases.
#
#   tools/check-reproducible.sh [VERSION]         two releases of HEAD, then the comparison
#   tools/check-reproducible.sh --compare A B     only the comparison of two release folders
#
# Exit status 0 when both releases are identical; 1 naming every file that differs, with
# diffoscope's account of each where diffoscope is installed. The two builds took 17
# minutes on two cores (each clone builds the Linux and the Windows programs from
# nothing); their folders stay in build/reproducible for a look afterwards.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Every file of A and of B, by relative path; prints what differs, returns 1 if anything.
compare() {
  local a="$1" b="$2" differ=0 name
  [[ -d "$a" && -d "$b" ]] || { echo "reproducible: $a and $b must be folders" >&2; return 2; }
  while IFS= read -r -d '' name; do
    if [[ ! -e "$a/$name" ]]; then
      echo "only in the second release: $name"
      differ=1
    elif [[ ! -e "$b/$name" ]]; then
      echo "only in the first release: $name"
      differ=1
    elif ! cmp -s "$a/$name" "$b/$name"; then
      echo "differs: $name"
      differ=1
      if command -v diffoscope >/dev/null; then
        diffoscope --text - "$a/$name" "$b/$name" 2>/dev/null | head -60 | sed 's/^/    /' || true
      fi
    fi
  done < <({ (cd "$a" && find . -type f -print0); (cd "$b" && find . -type f -print0); } |
           sort -z -u)
  if ((differ)); then
    echo "reproducible: the two releases differ"
    return 1
  fi
  echo "reproducible: the two releases are identical ($(cd "$a" && find . -type f | wc -l) files)"
}

if [[ "${1:-}" == "--compare" ]]; then
  (($# == 3)) || { sed -n '/^#   tools/s/^#   //p' "${BASH_SOURCE[0]}" >&2; exit 2; }
  compare "$2" "$3"
  exit
fi

version="${1:-0.0.1}"
cd "$root"
[[ -z "$(git status --porcelain)" ]] ||
  echo "reproducible: uncommitted changes are not part of the check: it builds the committed HEAD"
work="$root/build/reproducible"
rm -rf "$work"
mkdir -p "$work"
commit="$(git rev-parse HEAD)"
tool="$root/build/check/bin/vantriel-release"
[[ -x "$tool" ]] || tool="$root/build/release-linux/bin/vantriel-release"
[[ -x "$tool" ]] || { echo "reproducible: build vantriel-release first (tools/test.sh or README's release steps)" >&2; exit 2; }
"$tool" keygen "$work/key" >/dev/null

# One clone per build, each at its own depth of path, each building into its own tree.
build() {  # NAME TZ LOCALE UMASK
  local clone="$work/$1/src/vantriel"
  git clone -q "$root" "$clone"
  git -C "$clone" checkout -q "$commit"
  echo "reproducible: building $1 in $clone (TZ=$2 LC_ALL=$3 umask $4)"
  (cd "$clone" && umask "$4" && TZ="$2" LC_ALL="$3" VTR_RELEASE_KEY="$work/key.key" \
     tools/release.sh "$version" "$work/$1/out") >"$work/$1.log" 2>&1 ||
    { tail -30 "$work/$1.log"; echo "reproducible: the $1 build failed; see $work/$1.log" >&2; exit 2; }
}
build first UTC C.UTF-8 022
build second America/Mexico_City "$(locale -a 2>/dev/null | grep -m1 -i '^es_' || echo POSIX)" 002
compare "$work/first/out" "$work/second/out"
