#!/usr/bin/env bash
# Installs the dependencies, builds Tarn three ways and runs the whole suite:
#   1. release build with debug info: every test, and the installed package;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer: every test;
#   3. ThreadSanitizer: the tests labelled "threads";
# then a short smoke run of each fuzz target (TARN_FUZZ_SECONDS, default 60; 0 skips).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
JOBS=${JOBS:-$(nproc)}

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

echo "== release build"
build build
(cd build && ctest -j"$JOBS" --output-on-failure --timeout 600)
scripts/install-check.sh build

echo "== address + undefined behaviour sanitizers"
build build-asan -DTARN_SANITIZE=address,undefined -DTARN_BENCH=OFF -DTARN_DEMO=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j"$JOBS" --output-on-failure --timeout 900)

echo "== thread sanitizer (threaded tests)"
build build-tsan -DTARN_SANITIZE=thread -DTARN_BENCH=OFF -DTARN_DEMO=OFF
if (cd build-tsan && ctest -N -L threads | grep -q 'Total Tests: [1-9]'); then
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest -j"$JOBS" -L threads --output-on-failure --timeout 900)
fi

if [ -x scripts/fuzz.sh ] && [ "${TARN_FUZZ_SECONDS:-60}" != 0 ]; then
  echo "== fuzz smoke run"
  scripts/fuzz.sh "${TARN_FUZZ_SECONDS:-60}"
fi
echo "== all test runs passed"
