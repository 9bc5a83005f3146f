#!/usr/bin/env bash
# Installs what is missing, builds vexa and runs the whole test suite: the
# normal build, then the AddressSanitizer/UndefinedBehaviorSanitizer build,
# then the playback tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# ccache: paths relative to the checkout, so that another clone of the same
# sources (CI) finds the objects already built.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build (sanitizers)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEXA_SANITIZE=ON -DVEXA_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
echo "== tests (sanitizers)"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

# The playback device and players, the reader that decodes ahead and the
# writer that encodes behind, once more under ThreadSanitizer (only their
# tests: the rest of the library runs OpenMP, which ThreadSanitizer cannot
# follow in Debian's uninstrumented runtime).
echo "== build (ThreadSanitizer, playback, reading and writing threads)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_TSAN=ON -DVEXA_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target playback_tests playback_qt_tests io_tests
echo "== tests (ThreadSanitizer, playback, reading and writing threads)"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}
ctest --test-dir build-tsan -R 'playback|pulseaudio' --output-on-failure
build-tsan/tests/io/io_tests --gtest_filter='SoundReaderAhead.*:SoundWriterBehind.*' --gtest_brief=1
