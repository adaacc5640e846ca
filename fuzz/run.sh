#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds each over its seed corpus.
#
#   fuzz/run.sh SECONDS [SCRATCH [TARGET...]]
#
# Builds the fuzz build (build/fuzz, clang) first when needed. New corpus
# entries and any crash, leak or timeout input go to SCRATCH (a fresh
# temporary directory unless given), never into the committed seeds, so a run
# leaves the tree untouched. Prints the executions of each target and exits
# with 1 when any target found a failure. QUORVANTELMIC_FUZZ_SEED fixes the
# random seed (the smoke run of ./test.sh uses 1).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:?usage: fuzz/run.sh SECONDS [SCRATCH [TARGET...]]}
scratch=${2:-$(mktemp -d -t quorvantelmic-fuzz.XXXXXX)}
shift $(( $# < 2 ? $# : 2 ))
build=$root/build/fuzz
jobs=${QUORVANTELMIC_FUZZ_BUILD_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVANTELMIC_FUZZ=ON -DQUORVANTELMIC_TESTS=OFF -DQUORVANTELMIC_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" --target fuzz_targets --parallel "$jobs" >/dev/null

# The image and PDF targets drive real codec and PDF libraries; small inputs
# keep one execution short. The helper's own pixel limits still apply, and
# the image target decodes pixels only for small headers.
max_len() {
  case "$1" in
    fuzz_image_probing | fuzz_image_conversion | fuzz_images_to_pdf) echo 16384 ;;
    fuzz_pdf_probing | fuzz_pdf_rendering) echo 32768 ;;
    # Forty steps of a few bytes each; anything longer is never read.
    fuzz_staging_sessions) echo 2048 ;;
    *) echo 65536 ;;
  esac
}

targets=(fuzz_request_decoder fuzz_container_scanners fuzz_icc_embedding fuzz_container_completeness
         fuzz_image_probing fuzz_pdf_name_scanner fuzz_pdf_probing fuzz_image_conversion fuzz_pdf_rendering
         fuzz_images_to_pdf fuzz_staging_sessions)
if [ "$#" -gt 0 ]; then targets=("$@"); fi
status=0
total=0
printf '%-30s %12s %8s  %s\n' target executions exec/s result
for target in "${targets[@]}"; do
  found=$scratch/$target
  mkdir -p "$found/corpus" "$found/artifacts"
  log=$found/fuzz.log
  result=ok
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 \
      ${QUORVANTELMIC_FUZZ_SEED:+-seed="$QUORVANTELMIC_FUZZ_SEED"} \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$found/artifacts/" \
      "$found/corpus" "$here/corpus/$target" >"$log" 2>&1; then
    result="FAILED (see $found/artifacts and $log)"
    status=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  total=$((total + ${executions:-0}))
  printf '%-30s %12s %8s  %s\n' "$target" "${executions:-0}" "${rate:-0}" "$result"
done
printf '%-30s %12s\n' total "$total"
echo "new inputs and findings: $scratch"
exit "$status"
