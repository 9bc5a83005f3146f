#!/usr/bin/env bash
# Installs every Debian package vexa needs to build, test and benchmark.
# The playback tests play through a PulseAudio null sink, reached by Qt
# Multimedia's PulseAudio plugin (in libqt5multimedia5-plugins).
# Idempotent: apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins
  libsndfile1-dev libmpg123-dev libmp3lame0 libmp3lame-dev libtag1-dev libebur128-dev
  ffmpeg flac vorbis-tools loudgain
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
