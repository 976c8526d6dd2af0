#!/usr/bin/env bash
# Compares what two builds of the `tarn` tool decode: makes a set of movies
# with the first (the fuzz seeds of `tarn make-corpus` and a few encoded
# clips of every revision, with alpha, grey and sound), then checks that
# `tarn planes`, `tarn pictures` (every format and display option) and
# `tarn audio` give byte-identical output with both, and that both encoders
# write identical movies. For refactors that must change no behaviour.
#   scripts/compare-tools.sh OLD_TARN NEW_TARN [WORK_DIR]
set -euo pipefail
old=$(realpath "$1")
new=$(realpath "$2")
work=${3:-$(mktemp -d)}
mkdir -p "$work/movies"
cd "$work"

"$old" make-corpus corpus >/dev/null
cp corpus/movie_open_fuzz/* movies/ 2>/dev/null || true
"$old" synth video clip.y4m --size 176x144 --frames 24 --rate 24/1 --pattern test >/dev/null
"$old" synth audio tone.wav --seconds 1 --rate 22050 --channels 2 >/dev/null
n=0
for args in "--revision f" "--revision g" "--revision h" "--grey" "--quality 30 --keyint 8" \
            "--display 4 --audio-codec dct" "--bitrate 40000"; do
  n=$((n + 1))
  # shellcheck disable=SC2086
  "$old" encode -o "movies/enc$n.trn" clip.y4m --audio tone.wav $args --quiet
  "$new" encode -o "new$n.trn" clip.y4m --audio tone.wav $args --quiet
  cmp -s "movies/enc$n.trn" "new$n.trn" || { echo "encode $args: the movies differ"; exit 1; }
done

differ=0
check() {  # check NAME COMMAND...: run with both tools, compare exit status and output
  local name=$1; shift
  local a b
  a=$("$old" "$@" old.out 2>/dev/null; echo "rc=$?"; [ -f old.out ] && md5sum <old.out; rm -f old.out)
  b=$("$new" "$@" new.out 2>/dev/null; echo "rc=$?"; [ -f new.out ] && md5sum <new.out; rm -f new.out)
  if [ "$a" != "$b" ]; then echo "differs: $name"; differ=1; fi
}
count=0
for m in movies/*; do
  for opt in "" "--alpha" "--grey"; do
    # shellcheck disable=SC2086
    check "planes $m $opt" planes "$m" $opt; count=$((count + 1))
  done
  for format in $(seq 0 15); do
    check "pictures $m $format" pictures "$m" --format "$format"; count=$((count + 1))
  done
  for display in 1 2 3 4 5 6; do
    check "pictures $m display $display" pictures "$m" --format 3 --display "$display"; count=$((count + 1))
  done
  check "audio $m" audio "$m"; count=$((count + 1))
done
echo "compared $count outputs of $(ls movies | wc -l) movies"
exit $differ
