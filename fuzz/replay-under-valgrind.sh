#!/usr/bin/env bash
# Replays fuzz corpora under valgrind's memcheck, with the targets built as
# plain programs (no libFuzzer, no sanitizers) in build/replay. The sanitizers
# check only the code that was compiled with them; valgrind also sees invalid
# reads and writes inside Debian's codec and PDF libraries, which run
# uninstrumented in the fuzz build (a write past a buffer there shows at best
# as a damaged heap block much later).
#
#   fuzz/replay-under-valgrind.sh [TARGET [EXTRA-CORPUS-DIR...]]
#
# Without arguments every target replays its committed seeds; with a target,
# its seeds and any directories named (a campaign's new inputs, say). Exits
# with 1 when valgrind reports anything, and prints the report.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$root/build/replay
dpkg-query -W -f='${Status}' valgrind 2>/dev/null | grep -q "install ok installed" ||
  apt-get install -y --no-install-recommends valgrind >/dev/null
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTELMIC_TESTS=OFF \
    -DQUORVANTELMIC_BENCHMARKS=OFF -DQUORVANTELMIC_FUZZ_REPLAY=ON >/dev/null
fi
cmake --build "$build" --target fuzz_targets --parallel "$(nproc)" >/dev/null

if [ "$#" -gt 0 ]; then
  targets=("$1")
  shift
else
  targets=(fuzz_request_decoder fuzz_container_scanners fuzz_icc_embedding fuzz_container_completeness
           fuzz_image_probing fuzz_pdf_name_scanner fuzz_pdf_probing fuzz_image_conversion fuzz_pdf_rendering
           fuzz_images_to_pdf fuzz_staging_sessions)
fi
logs=$(mktemp -d -t quorvantelmic-replay.XXXXXX)
status=0
for target in "${targets[@]}"; do
  log=$logs/$target.log
  if valgrind --quiet --error-exitcode=99 --num-callers=30 --suppressions="$root/scripts/valgrind.supp" \
      "$build/fuzz/$target" "$here/corpus/$target" "$@" >"$log" 2>&1; then
    printf '%-30s %s\n' "$target" "$(tail -1 "$log"), clean"
  else
    printf '%-30s %s\n' "$target" "REPORTED (see $log)"
    status=1
  fi
done
exit "$status"
