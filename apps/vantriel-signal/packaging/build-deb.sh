#!/usr/bin/env bash
# Builds the Debian package of the signalling server from a built binary:
#
#   apps/vantriel-signal/packaging/build-deb.sh VERSION SIGNAL_BINARY OUTDIR
#
# writes OUTDIR/vantriel-signal_VERSION_amd64.deb with dpkg-deb: the binary (stripped) at
# /usr/bin/vantriel-signal, the systemd unit, /etc/default/vantriel-signal (a conffile,
# mode 0640), the maintainer scripts and the server's README, all from this folder. The
# Depends field comes from the binary's own shared-library needs (dpkg-shlibdeps), so it
# is right for whatever build is packaged. Needs dpkg-dev and binutils, not debhelper.
# With SOURCE_DATE_EPOCH set, every file in the package carries that time.
set -euo pipefail

die() {
  echo "build-deb: $*" >&2
  exit 1
}

[[ $# -eq 3 ]] || die "usage: build-deb.sh VERSION SIGNAL_BINARY OUTDIR"
version=$1
binary=$2
outdir=$3
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# A Debian version: starts with a digit; letters, digits and . + ~ - only.
[[ $version =~ ^[0-9][A-Za-z0-9.+~-]*$ ]] || die "\"$version\" is not a package version"
[[ -f $binary && -x $binary ]] || die "$binary is not an executable file"
readelf -h "$binary" 2>/dev/null | grep -q 'Machine:.*X86-64' ||
  die "$binary is not an x86-64 ELF executable: the package is for amd64"
for tool in dpkg-deb dpkg-shlibdeps strip; do
  command -v "$tool" >/dev/null || die "$tool is missing (apt-get install dpkg-dev binutils)"
done
mkdir -p "$outdir"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pkg="$work/root"

install -D -m 0755 "$binary" "$pkg/usr/bin/vantriel-signal"
# As Debian's own packages are: no symbols, no build notes.
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
  "$pkg/usr/bin/vantriel-signal"
install -D -m 0644 "$here/vantriel-signal.service" "$pkg/lib/systemd/system/vantriel-signal.service"
install -D -m 0640 "$here/vantriel-signal.default" "$pkg/etc/default/vantriel-signal"
install -D -m 0644 "$here/../README.md" "$pkg/usr/share/doc/vantriel-signal/README.md"

# dpkg-shlibdeps reads the package list of a source tree; a minimal one will do.
mkdir -p "$work/src/debian"
printf 'Source: vantriel-signal\n\nPackage: vantriel-signal\nArchitecture: amd64\n' \
  >"$work/src/debian/control"
shlibs="$(cd "$work/src" && dpkg-shlibdeps -O -e"$pkg/usr/bin/vantriel-signal" 2>"$work/shlibdeps.log")" ||
  { cat "$work/shlibdeps.log" >&2; die "dpkg-shlibdeps failed"; }
depends="${shlibs#shlibs:Depends=}"
[[ -n $depends && $depends != "$shlibs" ]] || die "dpkg-shlibdeps found no dependencies: $shlibs"

installed_size="$(du -sk --apparent-size "$pkg" | cut -f1)"
mkdir -p "$pkg/DEBIAN"
cat >"$pkg/DEBIAN/control" <<EOF
Package: vantriel-signal
Version: $version
Architecture: amd64
Maintainer: Vantriel <soporte@vantriel.app>
Installed-Size: $installed_size
Depends: $depends, adduser
Section: net
Priority: optional
Homepage: https://vantriel.app/
Description: signalling server for Vantriel remote support
 Introduces the PC that receives support to the technician who asks for it,
 relays their WebRTC offers, answers and candidates, keeps voice-call rooms of
 up to eight and hands out ICE server lists with TURN credentials. Media never
 pass through it. Wrong access codes and guessed call codes are slowed down and
 locked out; several nodes can share their state through Redis.
 .
 Runs as the systemd service vantriel-signal under its own system user, with
 its settings in /etc/default/vantriel-signal and its ID bindings in
 /var/lib/vantriel-signal.
EOF
echo /etc/default/vantriel-signal >"$pkg/DEBIAN/conffiles"
for script in postinst prerm postrm; do
  install -m 0755 "$here/$script" "$pkg/DEBIAN/$script"
done

if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
  find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
fi
deb="$outdir/vantriel-signal_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zgzip -z9 --build "$pkg" "$deb" >/dev/null
echo "$deb"
