#!/usr/bin/env bash
# Runs a test binary on X11 under a virtual X server; exit 77 (skip) without one.
# -noreset: a server resetting after its last client would refuse the next test.
set -u
if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed: skipped"
  exit 77
fi
# The X11 and GL driver libraries leak on unload, in frames a suppression cannot
# name; the same tests run with leak checking on SDL's dummy driver.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" env SDL_VIDEODRIVER=x11 "$@"
