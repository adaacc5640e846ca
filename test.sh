#!/usr/bin/env bash
# Installs what is missing, builds the sanitizer test build, runs every test,
# runs every fuzz target briefly, then builds the Release tree of every target.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-dependencies
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVANTELMIC_SANITIZE=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
# A fresh build has no record of how long each test takes, so CTest would
# start them in file order and the longest (killing the helper at every
# system call) would start last and run alone at the end. The recorded
# durations let it start the long tests first; CTest keeps them up to date.
costs="$build/Testing/Temporary/CTestCostData.txt"
if [ ! -f "$costs" ]; then
  mkdir -p "$(dirname "$costs")"
  cp tests/test-durations.txt "$costs"
fi
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
cd - >/dev/null
# A short smoke run of every libFuzzer target (2 seconds each) in the clang
# fuzz build, which builds only the fuzz targets. The seed is fixed so that
# the same mutations are tried on every run: a CI result does not depend on
# luck, and new finds come from the longer runs by hand (fuzz/run.sh SECONDS).
QUORVANTELMIC_FUZZ_SEED=1 QUORVANTELMIC_FUZZ_BUILD_JOBS="$(nproc)" fuzz/run.sh 2
# Some warnings (format truncation, for one) appear only when GCC optimises:
# every target, tests and benchmarks included, must also build warning-free
# in Release. Its tests are not run again.
cmake -S . -B build/release-check -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUORVANTELMIC_TESTS=ON -DQUORVANTELMIC_BENCHMARKS=ON >/dev/null
cmake --build build/release-check --parallel "$(nproc)"
