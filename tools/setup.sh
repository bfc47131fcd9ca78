#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Vantriel needs,
# and the npm packages of the browser tests. Safe to run any number of times: it
# installs only what is missing. Runs as root, or through sudo when not root.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  g++-mingw-w64-x86-64-posix
  libboost-dev nlohmann-json3-dev
  libcurl4-openssl-dev libx11-dev libxtst-dev libxrandr-dev
  # wlroots input: libwayland-client, wayland-scanner, xkbcommon
  libwayland-dev libxkbcommon-dev
  # the tray and notifications over D-Bus (sd-bus)
  libsystemd-dev
  # unit tests, benchmarks, fuzzing, sanitizers
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev
  # test oracles (never linked into the product)
  zlib1g-dev libsodium-dev libssl-dev openssl python3 python3-cryptography-vectors
  golang-1.19-src zip unzip curl
  # desktop, browser and page tests
  xvfb xauth x11-utils x11-xserver-utils xdotool xclip chromium
  # the GNOME lab: a headless mutter and the desktop portal's frontend (PipeWire is below)
  mutter xdg-desktop-portal
  # the wlroots lab: a headless sway, and another clipboard client (wl-copy, wl-paste)
  sway wl-clipboard
  # the app window and tray scenario: a window manager, a session bus, the stand-in tray
  # host and notification service (Debian's python3 with dbus and GLib)
  openbox dbus-daemon python3-dbus python3-gi gir1.2-glib-2.0
  # the page build (ES modules bundled into the one inline script)
  esbuild
  # two-PC tests: a STUN/TURN server on loopback
  coturn
  # the PC's sound from a Linux host: sound servers the tests start themselves, and pactl
  # (also what the host drives the person's sound server with)
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber
  # the network lab: NAT routers between namespaces (nft); ip and tc come with iproute2
  nftables iproute2
  # the signalling server's tests of several nodes: a Redis on loopback they start themselves
  redis-server redis-sentinel
  # the signalling server's metrics, read by the Prometheus client's own parser; its Debian
  # package checked (systemd-analyze verify on the unit) and installed in a fresh Debian
  # root made with debootstrap
  python3-prometheus-client systemd debootstrap dpkg-dev binutils
  # the signalling server's container image, built and run with podman as root (no
  # registry); runc, because crun refuses cgroup hierarchies that mix v1 and v2 controllers
  # (podman takes either; with runc listed, apt leaves crun out); its CA list for rediss://;
  # the compose file read by the test with python3-yaml
  podman runc ca-certificates python3-yaml
  # releases: their signed list of hashes checked with the standard tool a user has, and
  # the Windows program signed (Authenticode) and checked against a throwaway CA
  minisign osslsigncode
  # the release test keeps the publisher's code-signing key in a SoftHSM token, as in a
  # hardware module
  softhsm2 libengine-pkcs11-openssl
  # Windows tests: the MinGW test binaries and Vantriel.exe under Wine; zlib as their oracle
  wine64 wine libz-mingw-w64-dev
)

# Node.js may come from another source that bundles npm; only ask Debian for what is absent.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Browser tests use playwright-core against Debian's Chromium; never a downloaded browser.
# The lock file's copy inside node_modules says which lock the installed tree came from,
# so a changed lock installs again.
e2e="$root/tests/e2e"
if [[ -f "$e2e/package-lock.json" ]] && ! cmp -s "$e2e/package-lock.json" "$e2e/node_modules/.vantriel-lock"; then
  (cd "$e2e" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  cp "$e2e/package-lock.json" "$e2e/node_modules/.vantriel-lock"
fi
echo "setup: all packages present"
