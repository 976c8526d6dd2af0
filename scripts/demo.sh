#!/usr/bin/env bash
# Installs the dependencies, builds Tarn and plays the built-in demo movie.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TESTS=OFF -DTARN_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/player/tarnplay-demo ]; then
  exec build/player/tarnplay-demo "$@"
fi
# Until the player exists: describe a movie written by the library's own writer.
build/tools/tarn write-sample build/sample.trn
exec build/tools/tarn info build/sample.trn
