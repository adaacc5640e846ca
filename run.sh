#!/usr/bin/env bash
# Installs what is missing, builds the release helper and converter, converts
# the bundled samples into ./out/ through the real helper, and replays the
# sample protocol session, printing every response line and the exit status.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-dependencies --build
build=build/release
# Only the two programs: the test suite and benchmarks need what --build
# leaves out (./test.sh installs and builds those).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUORVANTELMIC_TESTS=OFF -DQUORVANTELMIC_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target quorvantelmic-helper quorvantelmic-convert
convert="$build/client/quorvantelmic-convert"
# The converter's recovery journal for this run; nothing is left in it when
# every step succeeds.
journal="$build/run-journal"

rm -rf out && mkdir out
step() { echo; echo "\$ quorvantelmic-convert $*"; "$convert" --journal "$journal" "$@"; }
step inspect samples/Holiday.jpg
step image samples/Holiday.jpg samples/Logo.png --to png --dest out
step image samples/Holiday.jpg --to avif --max-width 240 --strip-metadata --dest out
step image samples/Logo.png samples/Holiday.jpg --to jpeg --quality 0.9 --dest out
step pdf-pages samples/Report.pdf --to png --dpi 72 --dest out
step images-to-pdf samples/Holiday.jpg samples/Logo.png --name Album --dest out
step inspect out/Album.pdf
echo
echo "Published into out/:"
ls -l out

echo
echo "Session: samples/session.ndjson"
echo "(Deliberate: the request with the identifier \"not-a-uuid\" is malformed, so the helper"
echo " answers it with invalid-request, ends the session with exit status 2 and never reads"
echo " the hello after it. That status is the expected end of this sample.)"
status=0
"$build/helper/quorvantelmic-helper" < samples/session.ndjson || status=$?
echo "Exit status: $status"
