#!/usr/bin/env bash
# Side-by-side figures: the helper, driven the way a parent drives it (through
# quorvantelmic-convert, one whole conversion per run: staging, conversion,
# publication, cleanup), against the tools a user would pick instead, on one
# fixed corpus in one run on this machine.
#
#   bench/run.sh [RUNS]      RUNS per case and tool, default 5
#   BENCH_ONLY=REGEX bench/run.sh [RUNS]
#                            only the cases whose label matches REGEX (grep -E);
#                            their rows replace the rows of the same label in
#                            bench/RESULTS.md and the others stay as they were
#
# Every case runs each tool RUNS times, interleaved (ours, peer, peer, ours,
# ...), after waiting (at most 60 s, or BENCH_QUIET_WAIT seconds) for the
# one-minute load to fall below 1.5.
# Each run is a whole process: wall seconds and peak resident memory come
# from /usr/bin/time; cases that compare file sizes also give the bytes the
# run left in its output folder. The table goes to standard output and to
# bench/RESULTS.md with a description of the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

# --- tools -------------------------------------------------------------------
./scripts/install-dependencies
peers=(libvips-tools imagemagick poppler-utils mupdf-tools img2pdf ocrmypdf libavif-bin tesseract-ocr-eng
       ghostscript qpdf time openssl libimage-exiftool-perl colord-data libjpeg-turbo-progs pngquant)
missing=()
for package in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
IM=/usr/bin/convert-im6.q16

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANTELMIC_TESTS=OFF -DQUORVANTELMIC_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target quorvantelmic-helper quorvantelmic-convert pdf_ocr_bench \
  descriptor_digest_tool >/dev/null
convert_tool="$PWD/$build/client/quorvantelmic-convert"
helper="$PWD/$build/helper/quorvantelmic-helper"
ocr_bench="$PWD/$build/bench/pdf/pdf_ocr_bench"
digest_tool="$PWD/$build/bench/file_access/descriptor_digest_tool"

# --- corpus --------------------------------------------------------------------
corpus=$(mktemp -d /tmp/qv-bench-corpus-XXXXXX)
scratch=$(mktemp -d /tmp/qv-bench-run-XXXXXX)
trap 'rm -rf "$corpus" "$scratch"' EXIT
# A photo-like 4000 x 3000 JPEG with EXIF, GPS and an sRGB profile.
$IM -seed 7 -size 4000x3000 plasma:fractal -blur 0x1 -profile /usr/share/color/icc/ghostscript/srgb.icc \
  -quality 90 "$corpus/photo.jpg"
exiftool -q -overwrite_original -Make=Bench -ExposureTime=1/125 -GPSLatitude=48.8583 -GPSLatitudeRef=N \
  "$corpus/photo.jpg"
$IM "$corpus/photo.jpg" -strip -quality 90 "$corpus/plain.jpg"
for i in 1 2 3 4 5; do cp "$corpus/plain.jpg" "$corpus/page-$i.jpg"; done
# The same photo as each other source format.
$IM "$corpus/plain.jpg" "$corpus/photo.png"
$IM "$corpus/plain.jpg" -compress lzw "$corpus/photo.tiff"
$IM "$corpus/plain.jpg" -quality 90 "$corpus/photo.webp"
$IM "$corpus/plain.jpg" "BMP3:$corpus/photo.bmp"
$IM "$corpus/plain.jpg" -resize 50% "$corpus/photo.gif"
avifenc -s 8 -j 1 "$corpus/photo.png" "$corpus/photo.avif" >/dev/null
# Ten real photos that carry colour profiles: four 2560 x 1600 wallpapers of
# Debian's plasma-workspace-wallpapers with their own sRGB profiles, and six
# of its 5120 x 2880 ones given the Adobe RGB (1998) profile of colord, as a
# camera set to Adobe RGB writes them. The package is downloaded, never
# installed, and kept between runs.
photo_cache=${BENCH_CACHE:-/tmp/qv-bench-cache}
mkdir -p "$photo_cache"
if [ ! -d "$photo_cache/wallpapers" ]; then
  (cd "$photo_cache" && apt-get download plasma-workspace-wallpapers >/dev/null &&
    dpkg-deb -x plasma-workspace-wallpapers_*.deb unpacked && mv unpacked/usr/share/wallpapers wallpapers &&
    rm -rf unpacked plasma-workspace-wallpapers_*.deb)
fi
mkdir -p "$corpus/profiled"
n=0
for name in Kite ColorfulCups OneStandsOut Path; do
  n=$((n + 1))
  cp "$photo_cache/wallpapers/$name/contents/images/2560x1600.jpg" "$corpus/profiled/photo-$n.jpg"
done
for name in Flow/contents/images Honeywave/contents/images Shell/contents/images SafeLanding/contents/images \
  Volna/contents/images Flow/contents/images_dark; do
  n=$((n + 1))
  cp "$photo_cache/wallpapers/$name/5120x2880.jpg" "$corpus/profiled/photo-$n.jpg"
  exiftool -q -overwrite_original "-icc_profile<=/usr/share/color/icc/colord/AdobeRGB1998.icc" \
    "$corpus/profiled/photo-$n.jpg"
done
profiled=$(for i in $(seq 1 10); do printf '%s ' "$corpus/profiled/photo-$i.jpg"; done)
# A folder of 37 real photos of every size the wallpapers come in (every
# fourth JPEG of the package, in name order), as a user converts a folder.
mkdir -p "$corpus/folder"
find "$photo_cache/wallpapers" -name '*.jpg' | sort | awk 'NR % 4 == 1' | head -n 37 |
  awk '{ printf "%s\t%02d.jpg\n", $0, NR }' | while IFS=$'\t' read -r from to; do cp "$from" "$corpus/folder/$to"; done
folder=$(ls "$corpus"/folder/*.jpg | tr '\n' ' ')
# The smallest conversion there is: what every conversion pays in fixed costs.
$IM "$corpus/plain.jpg" -resize 64x48 -quality 90 "$corpus/tiny.jpg"
# A transparent PNG (left half clear).
$IM -seed 7 -size 2000x1500 plasma:fractal -alpha set -region 1000x1500+0+0 -channel A -evaluate set 0 +channel +region \
  PNG32:"$corpus/alpha.png"
# Ten Letter pages of text, and a 1000-page copy of one page.
{
  echo "%!PS"
  for page in $(seq 1 10); do
    echo "/Helvetica findfont 12 scalefont setfont"
    for line in $(seq 1 50); do
      echo "72 $((740 - line * 13)) moveto (Page $page line $line: the quick brown fox jumps over the lazy dog.) show"
    done
    echo "showpage"
  done
} > "$corpus/text.ps"
gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sPAPERSIZE=letter -o "$corpus/text.pdf" "$corpus/text.ps"
qpdf --empty --pages $(for _ in $(seq 1 100); do printf '%s 1-10 ' "$corpus/text.pdf"; done) -- "$corpus/pages-1000.pdf"
# One 144-DPI page for OCR.
pdftoppm -r 144 -f 1 -l 1 -png "$corpus/text.pdf" "$corpus/ocr-page"
ocr_png=$(ls "$corpus"/ocr-page*.png)
$IM "$ocr_png" -quality 90 "$corpus/ocr-scan.jpg"
img2pdf -o "$corpus/ocr-scan.pdf" "$corpus/ocr-scan.jpg"
# 512 MiB of random bytes for the digest (read from the page cache after the
# first run, as the helper reads a freshly written output).
head -c 536870912 /dev/urandom > "$corpus/random-512m.bin"
# A session of 512 requests.
session="$corpus/session.ndjson"
for i in $(seq 1 512); do
  printf '{"operation":"hello","protocolVersion":4,"requestId":"00000000-0000-4000-8000-%012d"}\n' "$i"
done > "$session"

# --- measuring ----------------------------------------------------------------
wait_for_quiet() {
  local waited=0
  while [ "$waited" -lt "${BENCH_QUIET_WAIT:-60}" ]; do
    awk '{ exit !($1 < 1.5) }' /proc/loadavg && return 0
    sleep 2
    waited=$((waited + 2))
  done
}

# measure NAME COMMAND...: one run in a fresh output directory; appends
# "seconds kilobytes" to $scratch/NAME.
measure() {
  local name=$1
  shift
  local out="$scratch/out"
  rm -rf "$out" && mkdir -p "$out"
  if ! (cd "$out" && /usr/bin/time -f "%e %M" -o "$scratch/time" "$@" >/dev/null 2>&1); then
    echo "failed" >> "$scratch/$name"
    return 0
  fi
  echo "$(cat "$scratch/time") $(find "$out" -type f -printf '%s\n' | awk '{ t += $1 } END { print t + 0 }')" \
    >> "$scratch/$name"
}

# median NAME: "seconds MiB" medians of the runs, or "-" when any run failed.
# output_bytes NAME: the bytes the last run left.
output_bytes() {
  tail -n 1 "$scratch/$1" | awk 'NF == 3 { print $3 }'
}

median() {
  local file="$scratch/$1"
  if [ ! -s "$file" ] || grep -q failed "$file"; then
    echo "- -"
    return
  fi
  local seconds kilobytes
  seconds=$(cut -d' ' -f1 "$file" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  kilobytes=$(cut -d' ' -f2 "$file" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '%s %.0f\n' "$seconds" "$((kilobytes / 1024))"
}

rows=()
# bench_case [--sizes] LABEL OURS PEER_NAME PEER_COMMAND PEER_NAME PEER_COMMAND ...
# Commands are single strings run by bash -c in the run's output folder. With
# --sizes the row also gives each output's size and our ratio to it.
bench_case() {
  local sizes=0
  if [ "$1" = --sizes ]; then
    sizes=1
    shift
  fi
  local label=$1
  shift
  if [ -n "${BENCH_ONLY:-}" ] && ! echo "$label" | grep -Eq -e "$BENCH_ONLY"; then
    return 0
  fi
  local -a names=() commands=()
  local ours=$1
  shift
  names+=("ours")
  commands+=("$ours")
  while [ $# -gt 0 ]; do
    names+=("$1")
    commands+=("$2")
    shift 2
  done
  wait_for_quiet
  local key
  for ((run = 0; run < runs; run++)); do
    for ((i = 0; i < ${#names[@]}; i++)); do
      key="$(echo "$label" | tr -c 'A-Za-z0-9' '_')-$i"
      measure "$key" bash -c "${commands[$i]}"
    done
  done
  local ourMedian ourSeconds ourMiB
  ourMedian=$(median "$(echo "$label" | tr -c 'A-Za-z0-9' '_')-0")
  ourSeconds=${ourMedian% *}
  ourMiB=${ourMedian#* }
  local row="| $label | $ourSeconds | $ourMiB |"
  local ourBytes=""
  [ "$sizes" = 1 ] && ourBytes=$(output_bytes "$(echo "$label" | tr -c 'A-Za-z0-9' '_')-0")
  local peerText=""
  for ((i = 1; i < ${#names[@]}; i++)); do
    local peerMedian peerSeconds peerMiB ratio="-"
    peerMedian=$(median "$(echo "$label" | tr -c 'A-Za-z0-9' '_')-$i")
    peerSeconds=${peerMedian% *}
    peerMiB=${peerMedian#* }
    if [ "$peerSeconds" != "-" ] && [ "$ourSeconds" != "-" ]; then
      ratio=$(awk -v a="$ourSeconds" -v b="$peerSeconds" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    fi
    local sizeText=""
    if [ "$sizes" = 1 ]; then
      local peerBytes
      peerBytes=$(output_bytes "$(echo "$label" | tr -c 'A-Za-z0-9' '_')-$i")
      if [ -n "$peerBytes" ] && [ "$peerBytes" -gt 0 ] && [ -n "$ourBytes" ]; then
        sizeText=$(awk -v a="$ourBytes" -v b="$peerBytes" \
          'BEGIN { printf ", output %.1f MB (ours %.1f MB, size %.2fx; time", b / 1e6, a / 1e6, a / b }')
      fi
    fi
    if [ -n "$sizeText" ]; then
      peerText+="${names[$i]} $peerSeconds s, $peerMiB MiB${sizeText} ${ratio}x); "
    else
      peerText+="${names[$i]} $peerSeconds s, $peerMiB MiB (ours ${ratio}x); "
    fi
  done
  rows+=("$row ${peerText%; } |")
  echo "${rows[-1]}"
}

load_before=$(cut -d' ' -f1 /proc/loadavg)
C="$convert_tool --helper $helper --quiet --journal $scratch/journal"
echo "| case | ours (s) | ours (MiB) | peers: wall, peak memory, our ratio |"
echo "|---|---|---|---|"
# Where a row cannot meet its target, a further column measures work that
# ours must do and the peers skip, on the same input: the floor of the miss.
for target in png tiff gif bmp jpeg avif; do
  vips_target=$target
  [ "$target" = jpeg ] && vips_target=jpg
  vips_case="vips copy $corpus/plain.jpg photo.$vips_target"
  im_case="$IM $corpus/plain.jpg photo.$target"
  floor=()
  case $target in
    # The peers write TIFF uncompressed by default; ours is deflated with the
    # horizontal predictor at zlib level 1 for photos. ImageMagick writes the
    # same; libvips the same scheme at zlib's default level 6 (its level
    # option is for zstd only).
    tiff)
      im_case="$IM $corpus/plain.jpg -compress zip -quality 10 -define tiff:predictor=2 photo.tiff"
      vips_case="vips tiffsave $corpus/plain.jpg photo.tiff --compression deflate --predictor horizontal" ;;
    # libimagequant at the converter's speed with Floyd-Steinberg dithering,
    # on one thread as in the helper (pngquant adds reading and writing PNG).
    gif)
      vips_case="vips gifsave $corpus/plain.jpg photo.gif"
      floor=("pngquant, one thread (our quantiser, with its PNG reading and writing)"
        "OMP_THREAD_LIMIT=1 pngquant --speed 10 --output q.png 256 $corpus/photo.png") ;;
    # Publication proves the staged output's SHA-256 at every step (staged
    # check, pin, after linking, pin removal, final check, committed
    # identity) and the conversion reports it: seven digests of a file of
    # the output's size.
    bmp)
      floor=("SHA-256 of the 34 MiB bitmap, seven times (the digests alone)"
        "for i in 1 2 3 4 5 6 7; do $digest_tool $corpus/photo.bmp; done") ;;
    # libvips at the same quality (its Q 85 gives a file of the size of
    # ours), and avifenc with the helper's encoder settings: speed 8,
    # quantiser 9, 4:2:0, one thread.
    avif)
      vips_case="vips heifsave $corpus/plain.jpg photo.avif --compression av1 --effort 1 --Q 85"
      floor=("avifenc, one thread (the encoder alone)"
        "avifenc -s 8 -j 1 --min 9 --max 9 -y 420 $corpus/plain.jpg photo.avif") ;;
  esac
  bench_case "JPEG -> ${target^^}" \
    "$C image $corpus/photo.jpg --to $target --dest ." \
    ImageMagick "$im_case" \
    libvips "$vips_case" \
    "${floor[@]}"
done
for source in png tiff webp gif bmp avif; do
  bench_case "${source^^} -> JPEG" \
    "$C image $corpus/photo.$source --to jpeg --dest ." \
    ImageMagick "$IM $corpus/photo.$source photo.jpg" \
    libvips "vips copy $corpus/photo.$source photo.jpg"
done
bench_case "resize to 1000 x 750" \
  "$C image $corpus/photo.jpg --to jpeg --max-width 1000 --max-height 1000 --dest ." \
  ImageMagick "$IM $corpus/plain.jpg -resize 1000x1000 small.jpg" \
  libvips "vipsthumbnail $corpus/plain.jpg -s 1000 -o small.jpg"
bench_case "64 x 48 JPEG -> PNG" \
  "$C image $corpus/tiny.jpg --to png --dest ." \
  ImageMagick "$IM $corpus/tiny.jpg tiny.png" \
  libvips "vips copy $corpus/tiny.jpg tiny.png"
bench_case "37 photos -> JPEG at most 1600 wide, 2 jobs" \
  "$C image $folder --to jpeg --max-width 1600 -j 2 --dest ." \
  vipsthumbnail "vipsthumbnail $folder -s 1600x100000 -o \$PWD/%s-small.jpg" \
  "vipsthumbnail, 2 at a time" "printf '%s\\n' $folder | xargs -P 2 -I{} vipsthumbnail {} -s 1600x100000 -o \$PWD/%s-small.jpg"
bench_case "PNG with alpha -> JPEG on white" \
  "$C image $corpus/alpha.png --to jpeg --dest ." \
  ImageMagick "$IM $corpus/alpha.png -background white -flatten flat.jpg" \
  libvips "vips flatten $corpus/alpha.png flat.jpg --background 255"
bench_case "10 text pages -> PNG at 144 DPI" \
  "$C pdf-pages $corpus/text.pdf --to png --dpi 144 --dest ." \
  pdftoppm "pdftoppm -r 144 -png $corpus/text.pdf page" \
  mutool "mutool draw -q -r 144 -o page-%d.png $corpus/text.pdf"
# At the converter's default quality, 0.85; pdftoppm's own default is 75.
bench_case "10 text pages -> JPEG at 150 DPI" \
  "$C pdf-pages $corpus/text.pdf --to jpeg --dpi 150 --dest ." \
  pdftoppm "pdftoppm -r 150 -jpeg -jpegopt quality=85 $corpus/text.pdf page"
bench_case --sizes "5 x 12 MP JPEG -> PDF" \
  "$C images-to-pdf $corpus/page-1.jpg $corpus/page-2.jpg $corpus/page-3.jpg $corpus/page-4.jpg $corpus/page-5.jpg --name Photos --dest ." \
  img2pdf "img2pdf -o photos.pdf $corpus/page-1.jpg $corpus/page-2.jpg $corpus/page-3.jpg $corpus/page-4.jpg $corpus/page-5.jpg" \
  "djpeg at 1/8 (the proof alone)" "for f in $corpus/page-1.jpg $corpus/page-2.jpg $corpus/page-3.jpg $corpus/page-4.jpg $corpus/page-5.jpg; do djpeg -scale 1/8 \$f > /dev/null; done"
# img2pdf only copies each JPEG; ours also proves each one decodes (at 1/8,
# which still reads every coefficient), so djpeg at 1/8 over the same photos
# is the floor of that proof alone.
bench_case --sizes "10 real photos with colour profiles -> PDF" \
  "$C images-to-pdf $profiled --name Photos --dest ." \
  img2pdf "img2pdf -o photos.pdf $profiled" \
  "djpeg at 1/8 (the proof alone)" "for f in $profiled; do djpeg -scale 1/8 \$f > /dev/null; done"
bench_case "inspect a 1000-page PDF" \
  "$C inspect $corpus/pages-1000.pdf --json" \
  pdfinfo "pdfinfo $corpus/pages-1000.pdf" \
  qpdf "qpdf --show-npages $corpus/pages-1000.pdf"
# OCR: ours is the recogniser called directly (the benchmark's own time per
# recognition, its peak memory from the whole benchmark process), beside the
# tesseract command and ocrmypdf as whole processes.
ocr_key=$(echo "OCR of one 144-DPI page" | tr -c 'A-Za-z0-9' '_')
if [ -z "${BENCH_ONLY:-}" ] || echo "OCR of one 144-DPI page" | grep -Eq -e "$BENCH_ONLY"; then
wait_for_quiet
for ((run = 0; run < runs; run++)); do
  /usr/bin/time -f "%M" -o "$scratch/time" "$ocr_bench" --benchmark_filter=RecognizeOnePage > "$scratch/ocr.out" 2>/dev/null
  milliseconds=$(awk '/BM_RecognizeOnePage/ { print $2; exit }' "$scratch/ocr.out")
  echo "$(awk -v m="$milliseconds" 'BEGIN { printf "%.2f", m / 1000 }') $(cat "$scratch/time")" >> "$scratch/$ocr_key-0"
  measure "$ocr_key-1" bash -c "OMP_THREAD_LIMIT=1 tesseract $ocr_png page -l eng"
  measure "$ocr_key-2" bash -c "ocrmypdf -q -l eng --jobs 1 $corpus/ocr-scan.pdf ocr.pdf"
done
ocr_row() {
  local ours tesseract ocrmypdf
  ours=$(median "$ocr_key-0")
  tesseract=$(median "$ocr_key-1")
  ocrmypdf=$(median "$ocr_key-2")
  local r1 r2
  r1=$(awk -v a="${ours% *}" -v b="${tesseract% *}" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  r2=$(awk -v a="${ours% *}" -v b="${ocrmypdf% *}" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  echo "| OCR of one 144-DPI page | ${ours% *} | ${ours#* } | tesseract ${tesseract% *} s, ${tesseract#* } MiB (ours ${r1}x); ocrmypdf ${ocrmypdf% *} s, ${ocrmypdf#* } MiB (ours ${r2}x) |"
}
rows+=("$(ocr_row)")
echo "${rows[-1]}"
fi
bench_case "SHA-256 of 512 MiB" \
  "$digest_tool $corpus/random-512m.bin" \
  openssl "openssl dgst -sha256 $corpus/random-512m.bin" \
  sha256sum "sha256sum $corpus/random-512m.bin"
# Twenty starts, each answering one request: the fixed cost every
# conversion pays twice (the converter starts the helper for staging and for
# the conversion). The peers load their own libraries to print a version.
printf '{"operation":"hello","protocolVersion":4,"requestId":"00000000-0000-4000-8000-000000000000"}\n' \
  > "$corpus/hello.ndjson"
bench_case "20 helper starts, one answer each" \
  "for i in \$(seq 20); do $helper < $corpus/hello.ndjson; done" \
  libvips "for i in \$(seq 20); do vips --version; done" \
  ImageMagick "for i in \$(seq 20); do $IM -version; done"
bench_case "512-request session" \
  "$helper < $session"

# --- results ------------------------------------------------------------------
if [ -n "${BENCH_ONLY:-}" ] && [ ${#rows[@]} -eq 0 ]; then
  echo "no case matches BENCH_ONLY" >&2
  exit 1
fi
if [ -n "${BENCH_ONLY:-}" ] && [ -f bench/RESULTS.md ]; then
  # Only some cases ran: their rows replace those of the same label (new
  # cases are added at the end of the table), and a note says when.
  printf '%s\n' "${rows[@]}" > "$scratch/rows"
  labels=$(printf '%s\n' "${rows[@]}" | awk -F' [|] ' '{ sub(/^[|] /, "", $1); print $1 }' | paste -sd';' |
    sed 's/;/; /g')
  note="Rows measured again by \`BENCH_ONLY='$BENCH_ONLY' bench/run.sh $runs\` on $(date -u +%Y-%m-%d)"
  note+=" (one-minute load $load_before, then $(cut -d' ' -f1 /proc/loadavg)): $labels."
  awk -v rowsFile="$scratch/rows" -v note="$note" '
    BEGIN {
      while ((getline line < rowsFile) > 0) {
        split(line, parts, " [|] "); label = parts[1]; sub(/^[|] /, "", label)
        fresh[label] = line; order[++count] = label
      }
    }
    /^[|] / && inTable {
      split($0, parts, " [|] "); label = parts[1]; sub(/^[|] /, "", label)
      if (label in fresh) { print fresh[label]; done[label] = 1; next }
    }
    /^[|]---/ { tables++; inTable = (tables == 1) }
    inTable && !/^[|]/ {
      for (i = 1; i <= count; i++) if (!(order[i] in done)) { print fresh[order[i]]; done[order[i]] = 1 }
      inTable = 0; print; print note; print ""; next
    }
    { print }
  ' bench/RESULTS.md > "$scratch/RESULTS.md"
  cp "$scratch/RESULTS.md" bench/RESULTS.md
  echo "updated: bench/RESULTS.md"
  exit 0
fi
{
  echo "# Side-by-side figures"
  echo
  echo "Made by \`bench/run.sh $runs\` on $(date -u +%Y-%m-%d): $(nproc) cores of"
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo),"
  echo "$(. /etc/os-release && echo "$PRETTY_NAME"). Medians of $runs whole-process runs each; ours is"
  echo "quorvantelmic-convert driving the helper through staging, conversion,"
  echo "publication and cleanup (the OCR row is the recogniser called directly, as a"
  echo "library user calls it; its process includes one 3-iteration benchmark run)."
  echo "One-minute load when the run began and ended: $load_before and $(cut -d' ' -f1 /proc/loadavg)."
  echo
  echo "| case | ours (s) | ours (MiB) | peers: wall, peak memory, our ratio |"
  echo "|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
} > "$scratch/RESULTS.md"
# The reading of the targets below the table is written by hand; it stays
# until it is rewritten for a new table.
if [ -f bench/RESULTS.md ]; then
  awk '/^## Targets and misses/ { keep = 1 } keep { print }' bench/RESULTS.md > "$scratch/targets"
  if [ -s "$scratch/targets" ]; then
    echo >> "$scratch/RESULTS.md"
    cat "$scratch/targets" >> "$scratch/RESULTS.md"
  fi
fi
cp "$scratch/RESULTS.md" bench/RESULTS.md
echo "written: bench/RESULTS.md"
