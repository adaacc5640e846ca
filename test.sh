#!/usr/bin/env bash
# Installs what is missing, builds the sanitizer test build, runs every test,
# then runs every fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-dependencies
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVANTELMIC_SANITIZE=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
cd - >/dev/null
# A short smoke run of every libFuzzer target (2 seconds each) in the clang
# fuzz build, which builds only the fuzz targets.
QUORVANTELMIC_FUZZ_BUILD_JOBS="$(nproc)" fuzz/run.sh 2
