#!/usr/bin/env bash
# The installed plugin and desktop integration, in a scratch prefix: the MIME
# type by name and by magic (every revision), the menu entry, the icon, the
# thumbnailer, and the plugin in GStreamer's own tools (inspect, discoverer,
# gst-launch from a pipe, playbin, gst-play). Every run is bounded.
#   desktop_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
fail() { echo "desktop_test: $*"; exit 1; }
for f in share/mime/packages/tarn.xml share/applications/tarnplay.desktop share/icons/hicolor/scalable/apps/tarn.svg \
         share/thumbnailers/tarn.thumbnailer bin/tarn-thumbnailer; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
plugin=$(ls "$prefix"/lib*/gstreamer-1.0/libgsttarn.so 2>/dev/null | head -1)
[ -n "$plugin" ] || fail "the plugin is not in GStreamer's folder under the prefix"

tarn=$prefix/bin/tarn
"$tarn" synth video "$work/clip.y4m" --size 48x32 --frames 6 --rate 10/1 >/dev/null
"$tarn" synth audio "$work/tone.wav" --seconds 0.6 --rate 11025 --channels 2 >/dev/null
for r in f g h i; do
  "$tarn" encode --quiet -o "$work/movie_$r.trn" --revision $r "$work/clip.y4m" --audio "$work/tone.wav" >/dev/null
  cp "$work/movie_$r.trn" "$work/movie_$r.data"
done

# The MIME type: by the extension, and by the magic alone for every revision.
export XDG_DATA_HOME=$work/home XDG_DATA_DIRS=$share XDG_CURRENT_DESKTOP=GNOME
update-mime-database "$share/mime"
for f in movie_i.trn movie_f.data movie_g.data movie_h.data movie_i.data; do
  type=$(timeout 30 xdg-mime query filetype "$work/$f")
  [ "$type" = video/x-tarn ] || fail "xdg-mime says '$type' for $f"
done
desktop-file-validate "$share/applications/tarnplay.desktop" || fail "the menu entry does not validate"
grep -q '^MimeType=video/x-tarn;$' "$share/applications/tarnplay.desktop" || fail "the menu entry has no MimeType"
grep -q '^Exec=tarn-thumbnailer -s %s %i %o$' "$share/thumbnailers/tarn.thumbnailer" || fail "the thumbnailer entry"

# The thumbnailer, as the entry runs it: the longer side has the asked size.
timeout 30 "$prefix/bin/tarn-thumbnailer" -s 96 "file://$work/movie_i.trn" "$work/thumb.png"
size=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$work/thumb.png")
[ "$size" = 96x64 ] || fail "the thumbnail is $size, not 96x64"
if timeout 30 "$prefix/bin/tarn-thumbnailer" -s 96 "$work/clip.y4m" "$work/bad.png" 2>/dev/null; then
  fail "the thumbnailer took a file that is no movie"
fi

# GStreamer's tools with the installed plugin.
export GST_PLUGIN_PATH=$(dirname "$plugin") GST_REGISTRY=$work/registry.bin
inspect=$(timeout 60 gst-inspect-1.0 tarn)
for name in tarndemux tarndec tarnaudiodec video/x-tarn; do
  grep -q "$name" <<<"$inspect" || fail "gst-inspect-1.0 tarn does not list $name"
done
inspect=$(timeout 60 gst-inspect-1.0 tarndec)
grep -q apply-display-mode <<<"$inspect" || fail "tarndec has no apply-display-mode"
found=$(timeout 60 gst-discoverer-1.0 "$work/movie_h.trn")
for want in "Duration: 0:00:00.600000000" "Width: 48" "Height: 32" "Frame rate: 10/1" "Sample rate: 11025" \
            "Channels: 2"; do
  grep -q "$want" <<<"$found" || fail "gst-discoverer-1.0 does not report '$want'"
done
# Push mode from a pipe plays from the start.
played=$(timeout 60 gst-launch-1.0 fdsrc fd=0 ! tarndemux ! tarndec ! fakesink silent=false -v <"$work/movie_g.trn")
frames=$(grep -c 'last-message = chain' <<<"$played" || true)
[ "$frames" = 6 ] || fail "fdsrc ! tarndemux ! tarndec gave $frames frames, not 6"
timeout 60 gst-launch-1.0 -q playbin uri="file://$work/movie_i.trn" video-sink=fakesink audio-sink=fakesink ||
  fail "playbin did not play the movie"
timeout 60 gst-play-1.0 -q --videosink=fakesink --audiosink=fakesink "$work/movie_f.trn" </dev/null >/dev/null ||
  fail "gst-play-1.0 did not play the movie"
echo "desktop_test: all checks passed"
