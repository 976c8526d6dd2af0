#!/usr/bin/env bash
# Decoding speed of the GStreamer plugin against `tarn planes`, in the same
# run: the median wall time of RUNS alternating runs of each over one movie,
# and GStreamer's own start-up (a one-buffer pipeline) for reference.
#   scripts/gst-speed.sh MOVIE [BUILD_DIR=build] [RUNS=7]
set -euo pipefail
movie=$1
build=${2:-build}
runs=${3:-7}
export GST_PLUGIN_PATH=$build/gst GST_REGISTRY=$(mktemp -d)/registry.bin
gst-inspect-1.0 tarn >/dev/null
python3 - "$build/tools/tarn" "$movie" "$runs" <<'PY'
import statistics, subprocess, sys, time
tool, movie, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
commands = {
    "tarn planes": [tool, "planes", movie, "/dev/null"],
    "gst-launch": ["gst-launch-1.0", "-q", "filesrc", "location=" + movie, "!", "tarndemux", "!", "tarndec", "!",
                   "fakesink", "sync=false"],
    "gst start-up": ["gst-launch-1.0", "-q", "fakesrc", "num-buffers=1", "!", "fakesink", "sync=false"],
}
times = {name: [] for name in commands}
for _ in range(runs):
    for name, command in commands.items():
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        times[name].append(time.perf_counter() - start)
median = {name: statistics.median(t) for name, t in times.items()}
for name, t in times.items():
    print(f"{name:13s} median {median[name]:.3f} s of {' '.join(f'{x:.3f}' for x in t)}")
print(f"gst-launch / tarn planes: {median['gst-launch'] / median['tarn planes']:.3f}")
PY
