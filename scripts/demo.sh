#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds the library
# and the tool, then runs `vexa demo` (a synthesised record side split into
# one tagged FLAC file per track) into demo-out/ (or the folder given).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vexa_cli -j "$(nproc)"
exec ./build/tools/vexa/vexa demo "${1:-demo-out}"
