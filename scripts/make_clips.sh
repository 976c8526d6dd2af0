#!/usr/bin/env bash
# Makes test and benchmark clips (PNG sequences) from the photographs of
# Debian's mate-backgrounds package: a slow pan and a zoom, 1280x720 by
# default. Output goes into a build folder and is never committed.
#   scripts/make_clips.sh [OUT_DIR=build/clips] [FRAMES=30] [WIDTH=1280] [HEIGHT=720]
set -euo pipefail
out=${1:-build/clips}
frames=${2:-30}
width=${3:-1280}
height=${4:-720}
photos=/usr/share/backgrounds/mate/nature
if [ ! -d "$photos" ]; then
  echo "make_clips: $photos is missing (apt-get install mate-backgrounds)" >&2
  exit 1
fi
command -v convert >/dev/null || { echo "make_clips: ImageMagick's convert is missing" >&2; exit 1; }
mkdir -p "$out/pan" "$out/zoom"

# One large copy of each photograph so every frame is a cheap crop.
pan_src="$out/pan_source.png"
zoom_src="$out/zoom_source.png"
big_w=$((width * 5 / 4)); big_h=$((height * 5 / 4))
[ -f "$pan_src" ] || convert "$photos/Garden.jpg" -resize "$((width * 3 / 2))x${big_h}^" -gravity center \
  -extent "$((width * 3 / 2))x${big_h}" "$pan_src"
[ -f "$zoom_src" ] || convert "$photos/LadyBird.jpg" -resize "${big_w}x${big_h}^" -gravity center \
  -extent "${big_w}x${big_h}" "$zoom_src"

for ((i = 0; i < frames; i++)); do
  name=$(printf "frame_%04d.png" "$i")
  # Pan: the window slides right and a little down.
  x=$((i * (width / 2) / (frames > 1 ? frames - 1 : 1)))
  y=$((i * (height / 8) / (frames > 1 ? frames - 1 : 1)))
  convert "$pan_src" -crop "${width}x${height}+${x}+${y}" +repage "$out/pan/$name"
  # Zoom: a shrinking centred window, scaled back to the clip size.
  cw=$((big_w - i * (big_w - width) / (frames > 1 ? frames - 1 : 1)))
  ch=$((cw * height / width))
  convert "$zoom_src" -gravity center -crop "${cw}x${ch}+0+0" +repage -resize "${width}x${height}!" \
    "$out/zoom/$name"
done
echo "$out/pan/frame_%04d.png"
echo "$out/zoom/frame_%04d.png"
