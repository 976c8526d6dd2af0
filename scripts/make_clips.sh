#!/usr/bin/env bash
# Makes test and benchmark clips (PNG sequences) from the photographs of
# Debian's mate-backgrounds package, 1280x720 by default. Output goes into a
# build folder and is never committed. Clips: pan (Garden), zoom (LadyBird),
# and the photograph pans ladybird, raindrops and storm that the rate-quality
# benchmark encodes. Each lands in OUT_DIR/NAME/frame_%04d.png.
#   scripts/make_clips.sh [OUT_DIR=build/clips] [FRAMES=30] [WIDTH=1280] [HEIGHT=720] [CLIP...=pan zoom]
set -euo pipefail
out=${1:-build/clips}
frames=${2:-30}
width=${3:-1280}
height=${4:-720}
shift $(($# < 4 ? $# : 4))
clips=("$@")
[ ${#clips[@]} -gt 0 ] || clips=(pan zoom)
photos=/usr/share/backgrounds/mate/nature
if [ ! -d "$photos" ]; then
  echo "make_clips: $photos is missing (apt-get install mate-backgrounds)" >&2
  exit 1
fi
command -v convert >/dev/null || { echo "make_clips: ImageMagick's convert is missing" >&2; exit 1; }
big_w=$((width * 5 / 4)); big_h=$((height * 5 / 4))
last=$((frames > 1 ? frames - 1 : 1))

# Each frame is cut from one large copy of the photograph (made once):
# clip NAME PHOTO SOURCE_W SOURCE_H FRAME_FN, where FRAME_FN SRC I OUT writes frame I.
clip() {
  local dir="$out/$1" src="$out/$1_source.png"
  mkdir -p "$dir"
  [ -f "$src" ] || convert "$photos/$2" -resize "${3}x${4}^" -gravity center -extent "${3}x${4}" "$src"
  for ((i = 0; i < frames; i++)); do
    local name
    name=$(printf "frame_%04d.png" "$i")
    [ -f "$dir/$name" ] || "$5" "$src" "$i" "$dir/$name"
  done
  echo "$dir/frame_%04d.png"
}

# Pan: the window slides right by half its width and down by an eighth of its
# height over a copy of the photograph 1.5 x 1.25 times the clip size.
pan_frame() {
  convert "$1" -crop "${width}x${height}+$(($2 * (width / 2) / last))+$(($2 * (height / 8) / last))" +repage "$3"
}

# Zoom: a shrinking centred window, scaled back to the clip size.
zoom_frame() {
  local cw=$((big_w - $2 * (big_w - width) / last))
  convert "$1" -gravity center -crop "${cw}x$((cw * height / width))+0+0" +repage -resize "${width}x${height}!" "$3"
}

for clip in "${clips[@]}"; do
  case "$clip" in
    pan) clip pan Garden.jpg "$((width * 3 / 2))" "$big_h" pan_frame ;;
    zoom) clip zoom LadyBird.jpg "$big_w" "$big_h" zoom_frame ;;
    ladybird) clip ladybird LadyBird.jpg "$((width * 3 / 2))" "$big_h" pan_frame ;;
    raindrops) clip raindrops RainDrops.jpg "$((width * 3 / 2))" "$big_h" pan_frame ;;
    storm) clip storm Storm.jpg "$((width * 3 / 2))" "$big_h" pan_frame ;;
    *) echo "make_clips: unknown clip $clip (pan, zoom, ladybird, raindrops, storm)" >&2; exit 1 ;;
  esac
done
