#!/usr/bin/env bash
# Installs what Tarn needs to build, test and run on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PACKAGES=(
  build-essential cmake ninja-build pkg-config git python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsdl2-dev libsdl2-ttf-dev libpng-dev libsndfile1-dev
  clang libclang-rt-14-dev llvm-14
  xvfb xauth fonts-dejavu-core
  imagemagick mate-backgrounds
  # The GStreamer plugin and the desktop integration.
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-x
  shared-mime-info xdg-utils desktop-file-utils libglib2.0-bin
  python3-dev python3-pybind11 python3-numpy python3-pytest abigail-tools
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
