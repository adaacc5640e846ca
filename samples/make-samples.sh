#!/usr/bin/env bash
# Makes the sample files that ./run.sh converts. Needs ImageMagick, exiftool
# (the PDF comes from the test fixtures). The committed samples were made with this script.
set -euo pipefail
cd "$(dirname "$0")"

# A photo taken with the camera turned (EXIF orientation 6, "rotate 90 CW"),
# with a GPS position and a camera model.
convert -size 480x360 -seed 7 plasma:lightblue-seagreen -blur 0x2 \
  -fill white -stroke black -strokewidth 3 -draw "polygon 40,300 140,120 240,300" \
  -quality 82 Holiday.jpg
exiftool -q -overwrite_original -n \
  -Orientation=6 -Make="Quorvantelmic" -Model="Sample Camera" \
  -DateTimeOriginal="2026:07:14 10:30:00" \
  -GPSLatitude=48.858300 -GPSLatitudeRef=N -GPSLongitude=2.294500 -GPSLongitudeRef=E \
  Holiday.jpg

# A logo with a transparent background and a half-transparent shadow.
convert -size 256x192 xc:none \
  -fill "rgba(0,0,0,0.35)" -draw "roundrectangle 28,28 236,172 24,24" \
  -fill "#2b6cb0" -draw "roundrectangle 18,18 226,162 24,24" \
  -fill white -draw "circle 122,90 122,50" \
  -depth 8 PNG32:Logo.png

# A small three-page text PDF: the test suite's own fixture, made by
# tests/fixtures/pdf/make-fixtures.sh.
cp ../tests/fixtures/pdf/text-pages.pdf Report.pdf
