#!/usr/bin/env bash
# Line coverage the fuzz corpora reach: builds the fuzz targets with clang's
# source-based coverage (no sanitizers), runs each once over its corpus
# (build-fuzz/corpus/<target>, as scripts/fuzz.sh left it, plus the seeds and
# fuzz/regressions/<target>) and reports the lines of video/, audio/, movie/,
# io/ and player/options.cc each target hit, and all targets together.
#   scripts/fuzz-coverage.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
PROFDATA=$(command -v llvm-profdata || command -v llvm-profdata-14)
COV=$(command -v llvm-cov || command -v llvm-cov-14)
out=build-cov
flags="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B $out -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
  -DTARN_FUZZ=ON -DTARN_TESTS=OFF -DTARN_BENCH=OFF -DTARN_SDL=OFF >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cc; do targets+=("$(basename "$f" .cc)"); done
fi
cmake --build $out -j"$JOBS" --target tarn_tool "${targets[@]}"
seeds=$out/seeds
rm -rf "$seeds" && LLVM_PROFILE_FILE=/dev/null $out/tools/tarn make-corpus "$seeds" >/dev/null
rm -rf $out/profiles && mkdir -p $out/profiles
sources=(video audio movie io player/options.cc)
objects=()
summary="-show-region-summary=false -show-branch-summary=false"  # columns: functions, then lines
for t in "${targets[@]}"; do
  dirs=()
  for d in build-fuzz/corpus/$t "$seeds/$t" fuzz/regressions/$t; do [ -d "$d" ] && dirs+=("$d"); done
  LLVM_PROFILE_FILE=$out/profiles/$t.profraw $out/fuzz/$t -runs=0 "${dirs[@]}" >/dev/null 2>&1
  "$PROFDATA" merge -sparse $out/profiles/$t.profraw -o $out/profiles/$t.profdata
  echo "== $t: $(find "${dirs[@]}" -type f | wc -l) inputs"
  "$COV" report $out/fuzz/$t -instr-profile=$out/profiles/$t.profdata $summary "${sources[@]}" | tail -1 |
    awk '{ printf "%d of %d lines covered (%s)\n", $(NF-2) - $(NF-1), $(NF-2), $NF }'
  objects+=(-object "$out/fuzz/$t")
done
"$PROFDATA" merge -sparse $out/profiles/*.profdata -o $out/profiles/all.profdata
echo "== all targets, per folder"
for s in "${sources[@]}"; do
  printf '%-20s ' "$s"
  # Each target has its own LLVMFuzzerTestOneInput: llvm-cov warns that the
  # merged profile does not match them all, which concerns fuzz/ only.
  "$COV" report "${objects[@]:1}" -instr-profile=$out/profiles/all.profdata $summary "$s" 2>/dev/null | tail -1 |
    awk '{ printf "%d of %d lines covered (%s)\n", $(NF-2) - $(NF-1), $(NF-2), $NF }'
done
