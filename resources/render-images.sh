#!/bin/sh
# Renders the toolbar images and the application icon from their SVG sources.
# Needs rsvg-convert (Debian package librsvg2-bin). The PNGs are committed, so
# building the program does not need this; run it after changing an SVG.
set -eu
cd "$(dirname "$0")/images"
for name in TB_Inspector TB_Console TB_Export TB_Reload; do
    rsvg-convert -w 32 -h 32 "$name.svg" -o "$name.png"
    rsvg-convert -w 64 -h 64 "$name.svg" -o "$name@2x.png"
done
rsvg-convert -w 128 -h 128 keyvane.svg -o keyvane.png
for size in 16 32 48 64 128 256; do
    mkdir -p "../icons/hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" keyvane.svg -o "../icons/hicolor/${size}x${size}/apps/keyvane.png"
done
