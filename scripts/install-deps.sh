#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# This is the one list of packages; run.sh and test.sh both call it.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config binutils
  # sanitizer build and the fuzz target
  clang libclang-rt-14-dev
  # tests
  libgtest-dev googletest
  # the repair library tells key frames through libavcodec; the tests make
  # their media with ffmpeg and judge repaired files with libavformat
  ffmpeg libavformat-dev libavcodec-dev libavutil-dev
  # the media layer's player and converter: scaling, resampling, sound out
  libswscale-dev libswresample-dev libsdl2-dev
  # the application: Qt 5 Core, Gui, Widgets, Xml, Network and DBus, and
  # libxcb to ask the X server whether a compositing manager runs
  qtbase5-dev libxcb1-dev
  # the window tests that need a real X server run on Xvfb servers of their
  # own, once with the xcompmgr compositing manager; xprop reads the
  # window's properties
  xvfb xauth xcompmgr x11-utils
  # fonts a Debian desktop has: Liberation Sans keeps the widths of the
  # design's Helvetica; DejaVu Sans is the fallback
  fonts-liberation2 fonts-dejavu-core
  # mkvinfo reads the repaired Matroska files in the tests
  mkvtoolnix
  # gst-launch-1.0 makes the tests' second-writer clips (avimux, mp4mux,
  # qtmux, matroskamux, webmmux) with the libav, x264, lame, vpx, vorbis,
  # opus and AAC encoders of these plugin sets
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  # the audio containers' second writers and checkers, and flvmeta's check
  # of repaired FLV files
  flac sox lame vorbis-tools opus-tools flvmeta
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# CI starts from a machine it must not trust: it always installs.
if [ "${CI:-}" = "true" ] || [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${PACKAGES[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${PACKAGES[@]}"
fi
