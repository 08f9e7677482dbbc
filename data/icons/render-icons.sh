#!/bin/sh
# Renders the committed PNG sizes and the Windows icon from korvel-flash.svg; run it
# after editing the SVG (needs rsvg-convert from librsvg2-bin and ImageMagick's convert).
set -eu
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w $size -h $size korvel-flash.svg -o korvel-flash-$size.png
done
# The PNGs carry no time stamps, so a re-render of an unchanged SVG changes nothing.
convert korvel-flash-16.png korvel-flash-24.png korvel-flash-32.png korvel-flash-48.png \
  korvel-flash-256.png -define png:exclude-chunks=date,time korvel-flash.ico
