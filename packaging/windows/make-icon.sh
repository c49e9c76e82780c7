#!/usr/bin/env bash
# Draws the program icon (the same picture as packaging/dittoly-ua.svg, which this
# ImageMagick cannot read) and writes it as a Windows .ico with the usual sizes.
# Usage: make-icon.sh OUTPUT.ico
set -euo pipefail
out=${1:?usage: $0 OUTPUT.ico}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Drawn in the SVG's 64-unit space, four times larger.
convert -size 256x256 xc:none -draw "affine 4,0,0,4,0,0
fill '#398271' roundrectangle 4,4 59.5,59.5 10,10
fill '#ffffff' roundrectangle 14,16 35.5,45.5 3,3
stroke '#ffffff' stroke-width 2 fill '#e6e6e6' roundrectangle 28,22 49.5,51.5 3,3
stroke '#398271' stroke-width 4 stroke-linecap round stroke-linejoin round fill none
polyline 33,37 38,42 47,31" -depth 8 "$tmp/icon.png"
convert "$tmp/icon.png" -depth 8 -define icon:auto-resize=256,64,48,32,24,16 "$out"
