#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for the
# given number of seconds (default 60) on a corpus seeded with small movies
# made by the tools. Crashes are written to build-fuzz/crashes/<target>/ and
# make the script fail; copy such an input to fuzz/regressions/<target>/ once
# it is fixed, and the normal test suite replays it from then on.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
shift || true
JOBS=${JOBS:-$(nproc)}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" \
  -DTARN_SANITIZE=address,undefined -DTARN_FUZZ=ON -DTARN_TESTS=OFF -DTARN_BENCH=OFF -DTARN_SDL=OFF >/dev/null
cmake --build build-fuzz -j"$JOBS"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/fuzz/*_fuzz; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets"; exit 0; }

# Seed corpora: whatever the tool can make here (small movies of each kind).
seeds=build-fuzz/seeds
mkdir -p "$seeds"
if [ -x build-fuzz/tools/tarn ] && build-fuzz/tools/tarn help 2>/dev/null | grep -q make-corpus; then
  build-fuzz/tools/tarn make-corpus "$seeds" >/dev/null
fi

status=0
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  crashes=build-fuzz/crashes/$t
  mkdir -p "$corpus" "$crashes"
  [ -d "$seeds/$t" ] && cp -n "$seeds/$t"/* "$corpus"/ 2>/dev/null || true
  [ -d fuzz/regressions/$t ] && cp -n fuzz/regressions/$t/* "$corpus"/ 2>/dev/null || true
  echo "== $t for ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "build-fuzz/fuzz/$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=10 \
      -max_len=1048576 -artifact_prefix="$crashes/" -print_final_stats=1 "$corpus" \
      2> "build-fuzz/$t.log"; then
    echo "$t: found a failing input (see $crashes and build-fuzz/$t.log)"
    tail -40 "build-fuzz/$t.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|cov:' "build-fuzz/$t.log" | tail -3
  fi
done
exit $status
