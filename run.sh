#!/usr/bin/env bash
# Installs what is missing, builds the release helper and drives it through the
# bundled sample session, printing every response line and the exit status.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-dependencies
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target quorvantelmic-helper
echo "Session: samples/session.ndjson"
status=0
"$build/helper/quorvantelmic-helper" < samples/session.ndjson || status=$?
echo "Exit status: $status"
