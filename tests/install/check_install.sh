#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds a program
# against it twice: with pkg-config and with find_package(vexa).
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
libdir=$(find "$work/prefix" -name 'libvexa.so' -printf '%h\n' | head -n 1)
pcdir=$(find "$work/prefix" -name 'vexa.pc' -printf '%h\n' | head -n 1)

# pkg-config, as a plain Makefile user would.
export PKG_CONFIG_PATH="$pcdir"
g++ -std=c++17 "$source_dir/consumer.cpp" -o "$work/consumer_pc" $(pkg-config --cflags --libs vexa)
LD_LIBRARY_PATH="$libdir" "$work/consumer_pc"

# CMake package.
mkdir -p "$work/cmake_consumer"
cp "$source_dir/consumer.cpp" "$work/cmake_consumer/"
cp "$source_dir/CMakeLists.txt.in" "$work/cmake_consumer/CMakeLists.txt"
cmake -S "$work/cmake_consumer" -B "$work/cmake_consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log"
cmake --build "$work/cmake_consumer/build" > "$work/build.log"
LD_LIBRARY_PATH="$libdir" "$work/cmake_consumer/build/consumer"
