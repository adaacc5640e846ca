#!/usr/bin/env bash
# Whole conversions under Valgrind's memcheck: the converter drives a helper
# that runs inside valgrind, over one small file of every source format into
# every target, page rendering, images to PDF, PDF and image inspection, and
# the sample protocol session. Every helper process writes its own log; any
# error (an invalid read or write, a use of uninitialised memory, a definite
# leak) fails the script and prints the log. The sanitizer build cannot run
# under valgrind, so this uses a build of its own without them; and since
# valgrind cannot run a process that installs a seccomp filter (the filter
# would bind valgrind itself), that build's helper is the unfiltered one.
#
#   scripts/valgrind-end-to-end.sh      (about 10 minutes on two cores)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-dependencies
dpkg-query -W -f='${Status}' valgrind 2>/dev/null | grep -q "install ok installed" ||
  apt-get install -y --no-install-recommends valgrind >/dev/null

build=build/valgrind
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTELMIC_TESTS=OFF \
  -DQUORVANTELMIC_BENCHMARKS=OFF -DQUORVANTELMIC_UNFILTERED_HELPER=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target quorvantelmic-helper quorvantelmic-convert >/dev/null
helper="$PWD/$build/helper/quorvantelmic-helper"
convert="$PWD/$build/client/quorvantelmic-convert"

work=$(mktemp -d /tmp/qv-valgrind-XXXXXX)
trap 'rm -rf "$work"' EXIT
logs="$work/logs"
mkdir -p "$logs"
wrapper="$work/helper-under-valgrind"
cat > "$wrapper" <<EOF
#!/bin/sh
exec valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \\
  --errors-for-leak-kinds=definite --track-origins=yes \\
  --suppressions="$PWD/scripts/valgrind.supp" --log-file="$logs/helper-%p.log" "$helper"
EOF
chmod +x "$wrapper"

journeys=0
failed=0
journey() {
  local dest="$work/out-$journeys"
  journeys=$((journeys + 1))
  mkdir -p "$dest"
  # Under memcheck a helper runs tens of times slower than the converter's
  # hung-helper bound expects.
  if ! "$convert" --helper "$wrapper" --journal "$work/journal" --quiet --timeout 3600 "$@" --dest "$dest" \
      >/dev/null 2>"$work/stderr"; then
    # A refusal the helper is meant to give is an answer, not a fault; the
    # logs decide.
    while IFS= read -r line; do echo "  ($*) $line"; done < "$work/stderr"
  fi
}

F=tests/fixtures
for source in "$F/images/photo-metadata.jpg" "$F/images/photo-metadata.png" "$F/images/photo-metadata.tiff" \
  "$F/images/still.webp" "$F/images/still.gif" "$F/images/rgb24.bmp" "$F/images/still.avif" \
  "$F/images/cmyk.jpg" "$F/images/gray-alpha.png" "$F/image_pipeline/display-p3.jpg"; do
  for target in jpeg png tiff avif gif bmp; do
    journey image "$source" --to "$target"
  done
done
journey image "$F/image_pipeline/landscape.jpg" --to jpeg --max-width 40 --strip-metadata
journey image "$F/images/still.heic" --to png
journey pdf-pages samples/Report.pdf --to png --dpi 72
journey pdf-pages "$F/pdf/rotations.pdf" --to jpeg --dpi 36
journey images-to-pdf samples/Holiday.jpg samples/Logo.png "$F/images/cmyk.jpg" --name Album
"$convert" --helper "$wrapper" --journal "$work/journal" inspect "$F/pdf/acroform.pdf" >/dev/null 2>&1 || true
"$convert" --helper "$wrapper" --journal "$work/journal" inspect "$F/images/photo-metadata.jpg" >/dev/null 2>&1 || true
OMP_THREAD_LIMIT=1 "$wrapper" < samples/session.ndjson > /dev/null || true

processes=$(ls "$logs" | wc -l)
for log in "$logs"/*.log; do
  if [ -s "$log" ]; then
    echo "== $log"
    cat "$log"
    failed=$((failed + 1))
  fi
done
echo "valgrind: $journeys journeys and 3 direct runs, $processes helper processes, $failed with reports"
[ "$failed" -eq 0 ]
