#!/usr/bin/env bash
# Runs a test binary on X11 under a virtual X server; exit 77 (skip) without one.
set -u
if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed: skipped"
  exit 77
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" env SDL_VIDEODRIVER=x11 "$@"
