#!/usr/bin/env bash
# The batch speed-up of quorvantelmic-convert -j on a folder of real photos,
# beside ImageMagick and libvips converting the same folder.
#
#   bench/client_batch/run.sh [RUNS] [FORMAT]     default 3 runs, jpeg
#
# The corpus is the 30 wallpapers of Debian's mate-backgrounds package (16 JPEG
# and 14 PNG photos and drawings, 1280 x 1024 to 5640 x 3172, 45 MB; GPL-2+ and
# CC BY-SA, see its copyright file), fetched with apt-get download and
# unpacked with dpkg-deb -x, never installed. Each run converts the whole
# folder into an empty destination; the best wall time of RUNS is reported with
# the CPU time of that run (user plus system, helpers and tools included), and
# the one-minute load average at the end: on a shared machine the load says
# how much of the second core a parallel run could get at all.
# Needs the release build (cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
# && cmake --build build/release --target quorvantelmic-convert quorvantelmic-helper).
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-3}
format=${2:-jpeg}
extension=$([ "$format" = jpeg ] && echo jpg || echo "$format")
convert_bin=build/release/client/quorvantelmic-convert
work=${BENCH_WORK:-/tmp/quorvantelmic-batch-bench}
photos=$work/photos

if [ ! -d "$photos" ]; then
  mkdir -p "$work/deb"
  (cd "$work/deb" && apt-get download mate-backgrounds >/dev/null 2>&1 && dpkg-deb -x mate-backgrounds_*.deb x)
  mkdir -p "$photos"
  find "$work/deb/x/usr/share/backgrounds" -type f \( -name '*.jpg' -o -name '*.png' \) -exec cp {} "$photos/" \;
fi
command -v vips >/dev/null || { echo "libvips-tools is needed (apt-get install libvips-tools)" >&2; exit 1; }

# "wall cpu" of the best (by wall time) of RUNS runs of "$@", each into a
# fresh destination; cpu is user plus system seconds of the whole process tree.
best() {
  local best_wall="" best_cpu=""
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" "$work/journal" && mkdir -p "$work/out"
    local figures wall cpu
    /usr/bin/time -o "$work/time" -f "%e %U %S" \
      bash -c "$(declare -f "$1"); $(declare -p photos work format extension convert_bin); $*" >/dev/null 2>&1
    figures=$(tail -1 "$work/time")
    wall=$(echo "$figures" | cut -d' ' -f1)
    cpu=$(echo "$figures" | awk '{print $2 + $3}')
    if [ -z "$best_wall" ] || [ "$(echo "$wall < $best_wall" | bc)" = 1 ]; then best_wall=$wall; best_cpu=$cpu; fi
  done
  [ "$(ls "$work/out" | wc -l)" = "$(ls "$photos" | wc -l)" ] || { echo "incomplete output: $*" >&2; exit 1; }
  printf '%.2f s (%.1f s CPU)' "$best_wall" "$best_cpu"
}

ours() { "$convert_bin" --journal "$work/journal" image "$photos" --to "$format" -q --dest "$work/out" "$@"; }
magick_each() { for f in "$photos"/*; do convert-im6.q16 "$f" "$work/out/$(basename "${f%.*}").$extension"; done; }
magick_mogrify() { mogrify-im6.q16 -path "$work/out" -format "$extension" "$photos"/*; }
vips_each() { for f in "$photos"/*; do vips copy "$f" "$work/out/$(basename "${f%.*}").$extension"; done; }

j1=$(best ours -j 1)
j2=$(best ours -j 2)
mogrify=$(best magick_mogrify)
magick=$(best magick_each)
vips=$(best vips_each)
load=$(cut -d' ' -f1 /proc/loadavg)
echo "| $format | $j1 | $j2 | $mogrify | $magick | $vips | $load |"
