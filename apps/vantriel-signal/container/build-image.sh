#!/usr/bin/env bash
# Builds the signalling server's container image from a build's binaries, with podman and
# without any image registry:
#
#   apps/vantriel-signal/container/build-image.sh [--save FILE] VERSION BIN_DIR [TAG]
#
# BIN_DIR is a build's bin/ folder holding vantriel-signal and vantriel-signal-health
# (e.g. build/release-linux/bin). The image's root is only what they need: both binaries
# (stripped), each shared library that ldd lists, the CA certificates for rediss://,
# Debian's OpenSSL settings, /etc/passwd and /etc/group with the non-root user that runs
# the server, the copyright files of the Debian packages those files come from and a list
# of their versions. No shell, no package manager. The server keeps UTC in its log, so
# there is no tzdata.
#
# TAG defaults to vantriel-signal:VERSION. With --save the image is also written to FILE
# as an archive that `podman load` and `docker load` read, to carry to a machine that has
# no registry either. Every file and the image's dates are SOURCE_DATE_EPOCH (default: the
# time of this repository's last commit), so the same binaries give the same image ID.
set -euo pipefail
# The root's folders and files get their modes from here, whatever the caller's umask:
# with 077 the server's user could not even reach its own binary.
umask 022

die() {
  echo "build-image: $*" >&2
  exit 1
}

save=""
if [[ ${1:-} == --save ]]; then
  [[ $# -ge 2 ]] || die "--save needs a file"
  save=$2
  shift 2
fi
[[ $# -eq 2 || $# -eq 3 ]] || die "usage: build-image.sh [--save FILE] VERSION BIN_DIR [TAG]"
version=$1
bin_dir=$2
tag=${3:-vantriel-signal:$version}
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The server's user: a fixed number, so that volumes and runAsNonRoot checks can rely on it.
uid=10001
data=/var/lib/vantriel-signal
port=8890

[[ $version =~ ^[0-9][A-Za-z0-9.+~-]*$ ]] || die "\"$version\" is not a version"
[[ $tag =~ ^[a-z0-9][a-z0-9._/:-]*$ && $tag != *: ]] || die "\"$tag\" is not an image name"
for tool in podman ldd strip tar readelf dpkg-query sha256sum python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (tools/setup.sh installs it)"
done
binaries=()
for name in vantriel-signal vantriel-signal-health; do
  file="$bin_dir/$name"
  [[ -f $file && -x $file ]] || die "$file is missing: build the target $name"
  readelf -h "$file" 2>/dev/null | grep -q 'Machine:.*X86-64' || die "$file is not an x86-64 executable"
  binaries+=("$file")
done
ca_bundle=/etc/ssl/certs/ca-certificates.crt
[[ -s $ca_bundle ]] || die "$ca_bundle is missing (apt-get install ca-certificates)"
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH="$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH \"$SOURCE_DATE_EPOCH\" is not a number"
epoch=$SOURCE_DATE_EPOCH

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"

# Debian's merged /usr: the loader and libraries are found under /lib, /lib64 and /bin too.
mkdir -p "$root"/{usr/bin,usr/lib/x86_64-linux-gnu,usr/lib64,usr/lib/ssl,etc/ssl/certs,tmp}
mkdir -p "$root/usr/share/doc/vantriel-signal" "$root$data"
ln -s usr/bin "$root/bin"
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"
chmod 1777 "$root/tmp"
chmod 0750 "$root$data"
for file in "${binaries[@]}"; do
  install -m 0755 "$file" "$root/usr/bin/"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$root/usr/bin/$(basename "$file")"
done

# Every library a binary loads, at the path the loader looks for it (its real file, not a
# link).
libs=()
for file in "${binaries[@]}"; do
  listing="$(ldd "$file")" || die "ldd $file failed"
  if grep -q 'not found' <<<"$listing"; then
    die "$file needs libraries this machine lacks:"$'\n'"$(grep 'not found' <<<"$listing")"
  fi
  while read -r lib; do
    dest="$root/usr${lib#/usr}"
    if [[ ! -e $dest ]]; then
      install -D -m 0755 "$(readlink -f "$lib")" "$dest"
      libs+=("$lib")
    fi
  done < <(sed -nE 's/^\s*(\S+ => )?(\/\S+) \(0x[0-9a-f]+\)$/\2/p' <<<"$listing")
done
((${#libs[@]})) || die "ldd listed no libraries: is ${binaries[0]} a static executable?"

# The Debian package each came from, whichever of its merged-/usr names dpkg knows; one
# dpkg-query for all, as each reads the whole database.
candidates=()
for lib in "${libs[@]}"; do
  real="$(readlink -f "$lib")"
  candidates+=("$lib" "$real" "${real#/usr}" "/usr$lib")
done
declare -A owner=()
while IFS= read -r line; do
  [[ $line == *": /"* ]] || continue
  pkgs="${line%%: /*}"
  owner["/${line#*: /}"]="${pkgs%%,*}"
done < <(dpkg-query -S "${candidates[@]}" 2>/dev/null)
packages=()
for lib in "${libs[@]}"; do
  real="$(readlink -f "$lib")"
  pkg=""
  for candidate in "$lib" "$real" "${real#/usr}" "/usr$lib"; do
    pkg="${owner[$candidate]:-}"
    [[ -z $pkg ]] || break
  done
  [[ -n $pkg ]] || die "no Debian package owns $lib: its licence cannot be shipped"
  packages+=("$pkg")
done

# TLS to Redis: the system's CA list where OpenSSL looks for it, and Debian's settings.
install -m 0644 "$ca_bundle" "$root/etc/ssl/certs/ca-certificates.crt"
ln -s /etc/ssl/certs/ca-certificates.crt "$root/usr/lib/ssl/cert.pem"
ln -s /etc/ssl/certs "$root/usr/lib/ssl/certs"
if [[ -f /etc/ssl/openssl.cnf ]]; then
  install -m 0644 /etc/ssl/openssl.cnf "$root/etc/ssl/openssl.cnf"
  ln -s /etc/ssl/openssl.cnf "$root/usr/lib/ssl/openssl.cnf"
fi
packages+=(ca-certificates)

cat >"$root/etc/passwd" <<EOF
root:x:0:0:root:/root:/usr/sbin/nologin
vantriel-signal:x:$uid:$uid:vantriel-signal:$data:/usr/sbin/nologin
EOF
cat >"$root/etc/group" <<EOF
root:x:0:
vantriel-signal:x:$uid:
EOF
# Names in VTR_SIGNAL_REDIS and the sentinel lists: the engine's /etc/hosts, then DNS.
printf 'passwd: files\ngroup: files\nhosts: files dns\n' >"$root/etc/nsswitch.conf"
chmod 0644 "$root"/etc/{passwd,group,nsswitch.conf}

install -m 0644 "$here/../README.md" "$root/usr/share/doc/vantriel-signal/README.md"
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)
for pkg in "${packages[@]}"; do
  copyright="/usr/share/doc/${pkg%%:*}/copyright"
  [[ -f $copyright ]] || die "$copyright is missing: the image would ship ${pkg%%:*} without its licence"
  install -D -m 0644 "$copyright" "$root$copyright"
done
# For scanners and for the operator: which Debian packages' files the image holds.
dpkg-query -W -f='${binary:Package} ${Version}\n' "${packages[@]}" |
  sort >"$root/usr/share/doc/vantriel-signal/debian-packages"

# Root owns everything but the data folder; no file says when or by whom it was built.
tar_flags=(--sort=name --format=gnu --numeric-owner --mtime="@$epoch" --clamp-mtime
  --no-acls --no-xattrs --no-selinux)
tar -C "$root" -cf "$work/root.tar" "${tar_flags[@]}" --owner=0 --group=0 \
  --exclude=".${data}" .
tar -C "$root" -rf "$work/root.tar" "${tar_flags[@]}" --owner=$uid --group=$uid ".${data}"
touch -d "@$epoch" "$work/root.tar"

# The image is written here as the archive `docker save` makes (the layer, its config,
# a manifest) rather than by `podman build`, whose image config carries its build
# container's ID and host name, so that it never comes out the same twice. The config is
# Docker's: the OCI one has no place for the health check. Durations are nanoseconds.
layer_id="$(sha256sum "$work/root.tar" | cut -d' ' -f1)"
created="$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)"
archive="$work/archive"
mkdir -p "$archive/$layer_id"
mv "$work/root.tar" "$archive/$layer_id/layer.tar"
cat >"$work/config.json" <<EOF2
{"architecture":"amd64","os":"linux","created":"$created",
 "config":{
  "User":"$uid:$uid",
  "Env":["PATH=/usr/bin","VTR_SIGNAL_HOST=0.0.0.0","VTR_SIGNAL_PORT=$port","VTR_SIGNAL_DATA=$data/signal.json"],
  "Entrypoint":["/usr/bin/vantriel-signal"],
  "Volumes":{"$data":{}},
  "ExposedPorts":{"$port/tcp":{}},
  "StopSignal":"SIGTERM",
  "Healthcheck":{"Test":["CMD","/usr/bin/vantriel-signal-health"],"Interval":30000000000,
                 "Timeout":5000000000,"StartPeriod":10000000000,"Retries":3},
  "Labels":{"org.opencontainers.image.title":"vantriel-signal",
            "org.opencontainers.image.description":"Vantriel signalling server",
            "org.opencontainers.image.version":"$version",
            "org.opencontainers.image.created":"$created",
            "org.opencontainers.image.vendor":"Vantriel",
            "org.opencontainers.image.url":"https://vantriel.app/"}},
 "rootfs":{"type":"layers","diff_ids":["sha256:$layer_id"]},
 "history":[{"created":"$created","created_by":"apps/vantriel-signal/container/build-image.sh $version"}]}
EOF2
# Compact, as image tools write it: the image ID is the hash of these bytes.
python3 -c 'import json, sys; sys.stdout.write(json.dumps(json.load(sys.stdin), separators=(",", ":")))' \
  <"$work/config.json" >"$archive/config" || die "the image config is not JSON"
image_id="$(sha256sum "$archive/config" | cut -d' ' -f1)"
mv "$archive/config" "$archive/$image_id.json"
printf '[{"Config":"%s.json","RepoTags":["%s"],"Layers":["%s/layer.tar"]}]' \
  "$image_id" "$tag" "$layer_id" >"$archive/manifest.json"
find "$archive" -exec touch -h -d "@$epoch" {} +
out="$work/image.tar"
tar -C "$archive" -cf "$out" --sort=name --format=gnu --numeric-owner --owner=0 --group=0 \
  --mtime="@$epoch" manifest.json "$image_id.json" "$layer_id"

podman load --quiet --input "$out" >/dev/null || die "podman load failed"
loaded="$(podman image inspect --format '{{.Id}}' "$tag")" || die "podman did not keep $tag"
[[ $loaded == "$image_id" ]] || die "podman loaded $tag as $loaded, not $image_id"
if [[ -n $save ]]; then
  cp "$out" "$save"
fi
echo "$tag sha256:$image_id"
