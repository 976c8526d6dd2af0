#!/usr/bin/env bash
# The plugin on a real X11 window: a red movie through tarndemux ! tarndec !
# ximagesink under a virtual X server, and a screenshot that must show red
# where the window is. Exit 77 (skip) without Xvfb or ImageMagick's import.
#   xvfb_screenshot.sh TARN_TOOL PLUGIN_DIR
set -u
tool=$1
plugin_dir=$2
for c in xvfb-run Xvfb import gst-launch-1.0; do
  command -v $c >/dev/null 2>&1 || { echo "$c is not installed: skipped"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Three seconds of one red picture, 64 x 48 at 10 frames a second (4:2:0).
python3 - "$work/red.y4m" <<'PY'
import sys
w, h = 64, 48
frame = b"FRAME\n" + bytes([81]) * (w * h) + bytes([90]) * (w * h // 4) + bytes([240]) * (w * h // 4)
with open(sys.argv[1], "wb") as f:
    f.write(b"YUV4MPEG2 W%d H%d F10:1 Ip A1:1 C420jpeg\n" % (w, h) + frame * 30)
PY
"$tool" encode --quiet -o "$work/red.trn" "$work/red.y4m" >/dev/null || exit 1
export GST_PLUGIN_PATH=$plugin_dir GST_REGISTRY=$work/registry.bin
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
xvfb-run -a -s "-screen 0 320x240x24 -noreset" bash -c '
  timeout 20 gst-launch-1.0 -q filesrc location="$1/red.trn" ! tarndemux ! tarndec ! videoconvert ! ximagesink &
  sleep 1.5
  import -window root "$1/shot.png"
  wait' _ "$work" || { echo "the pipeline under Xvfb failed"; exit 1; }
pixel=$(convert "$work/shot.png" -format '%[fx:int(255*p{32,24}.r)] %[fx:int(255*p{32,24}.g)] %[fx:int(255*p{32,24}.b)]' info:)
read -r r g b <<<"$pixel"
if [ "$r" -gt 200 ] && [ "$g" -lt 70 ] && [ "$b" -lt 70 ]; then
  echo "xvfb_screenshot: the window shows red ($pixel)"
  exit 0
fi
echo "xvfb_screenshot: expected red at (32, 24), saw $pixel"
exit 1
