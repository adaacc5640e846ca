#!/usr/bin/env bash
# Adds seeds taken from real files (the corpus scripts/real-world-corpus
# assembles from Debian packages) to the targets that read whole files:
# image probing and conversion, PDF probing and rendering. Small candidates
# only (the targets' -max_len), minimised with libFuzzer's merge, which keeps
# an input only when it reaches code the existing seeds do not. The kept ones
# are written as fuzz/corpus/<target>/real-<package>-<file name>; the
# manifest line of each goes to fuzz/corpus/real-files.tsv, so its package,
# version and licence file stay on record.
#
#   fuzz/seeds-from-real-files.sh CORPUS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${1:?usage: fuzz/seeds-from-real-files.sh CORPUS_DIR}
manifest=$corpus/manifest.tsv
build=$here/../build/fuzz
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$here/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVANTELMIC_FUZZ=ON -DQUORVANTELMIC_TESTS=OFF -DQUORVANTELMIC_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" --target fuzz_targets --parallel 2 >/dev/null
work=$(mktemp -d -t quorvantelmic-seeds.XXXXXX)
trap 'rm -rf "$work"' EXIT

record=$here/corpus/real-files.tsv
[ -f "$record" ] || head -1 "$manifest" | sed 's/^/target\t/' > "$record"

seed_target() {
  local target=$1 formats=$2 limit=$3
  local pool=$work/$target-pool merged=$work/$target-merged
  mkdir -p "$pool" "$merged"
  cp "$here/corpus/$target/"* "$merged/"
  # Candidates by manifest order; the pool names carry the manifest line.
  awk -F'\t' -v formats="$formats" -v limit="$limit" 'NR > 1 && index(formats, " " $2 " ") && $8 + 0 <= limit {
      print NR "\t" $1 }' "$manifest" |
    while IFS=$'\t' read -r line file; do cp "$corpus/$file" "$pool/line-$line"; done
  "$build/fuzz/$target" -merge=1 -max_len="$limit" -timeout=20 -rss_limit_mb=2048 "$merged" "$pool" \
    >"$work/$target.log" 2>&1
  # libFuzzer names merged inputs by their SHA-1; the pool's digests lead
  # back to the manifest lines.
  (cd "$pool" && sha1sum -- *) > "$work/$target.sums"
  local kept=0
  for new in "$merged"/*; do
    local name
    name=$(basename "$new")
    [ -e "$here/corpus/$target/$name" ] && continue
    local line
    line=$(awk -v digest="$name" '$1 == digest { print $2 }' "$work/$target.sums" | head -1)
    [ -n "$line" ] || continue
    local row
    row=$(sed -n "${line#line-}p" "$manifest")
    local package file
    package=$(cut -f4 <<<"$row")
    file=$(basename "$(cut -f1 <<<"$row")")
    cp "$new" "$here/corpus/$target/real-$package-$file"
    printf '%s\t%s\n' "$target" "$row" >> "$record"
    kept=$((kept + 1))
  done
  echo "$target: $(ls "$pool" | wc -l) candidates, $kept kept"
}

seed_target fuzz_image_probing " jpeg png gif bmp tiff webp avif heic " 16384
seed_target fuzz_image_conversion " jpeg png gif bmp tiff webp avif heic " 16384
seed_target fuzz_pdf_probing " pdf " 32768
seed_target fuzz_pdf_rendering " pdf " 32768
