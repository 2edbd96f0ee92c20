#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (run as root). Installs only what is missing,
# so a second run is quick and needs no network.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
  libpulse-dev libavcodec-dev libavformat-dev libavutil-dev libswresample-dev
  # checks: formatting, lint, the Objective-C++ type-check
  clang clang-format clang-tidy
  # private sound servers and test signals
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus
  ffmpeg sox libsox-fmt-all time procps psmisc util-linux
  # the end-to-end tests
  python3-pytest python3-numpy
  # the Debian package and the manual page; the example parents
  dpkg-dev man-db groff-base nodejs python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root or install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
