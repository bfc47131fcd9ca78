#!/usr/bin/env bash
# Renders the emblem and the signature from their SVG sources into the PNG and ICO files
# that the host embeds. The rendered files are committed, so building needs no renderer;
# run this after changing an SVG. Needs rsvg-convert (librsvg2-bin) and icotool (icoutils).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

for tool in rsvg-convert icotool; do
  command -v "$tool" >/dev/null || { echo "render.sh: $tool is missing" >&2; exit 1; }
done

rsvg-convert -w 128 -h 128 emblema.svg -o emblema.png
rsvg-convert -w 512 -h 512 emblema.svg -o emblema-512.png
rsvg-convert -w 337 -h 81 firma.svg -o firma.png

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
icons=()
for size in 16 24 32 48 64 256; do
  rsvg-convert -w "$size" -h "$size" emblema.svg -o "$work/$size.png"
  icons+=("$work/$size.png")
done
# The 256-pixel image stays PNG inside the icon (as Windows expects); the small ones are
# stored as bitmaps, which every reader of ICO files understands.
icotool -c -o vantriel.ico "${icons[@]:0:5}" -r "${icons[5]}"
