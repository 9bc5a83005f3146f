#!/usr/bin/env bash
# Cross-builds vexa and its tests for 64-bit ARM (aarch64) with Debian's cross
# compiler, against the arm64 builds of the libraries (multiarch), and runs
# the tests under qemu-user. Not part of the default test run.
#
#   scripts/cross-arm64.sh [--no-install] [--build-only] [-- ctest args]
#
#   --no-install  skip the package step (everything already installed)
#   --build-only  build, do not run the tests
#
# The build is in build-arm64/. Its compile failures go to
# build-arm64/cross-build.log, the test run to build-arm64/cross-ctest.log.
# Exit status: 0 when everything built and every test that ran passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-arm64
triplet=aarch64-linux-gnu

install=1
run_tests=1
ctest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --no-install) install=0 ;;
    --build-only) run_tests=0 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

# ---- packages ---------------------------------------------------------------
# The build machine's own tools (cmake, ninja, Qt's moc and rcc, the
# PulseAudio daemon of the playback tests, ffmpeg...) come from the native
# list; then the cross compiler, qemu, and the arm64 build of every library of
# that list. Nothing installed is ever removed (--no-remove): a package that
# cannot sit beside its amd64 build stops the script instead.
if [ "$install" = 1 ]; then
  bash scripts/install-deps.sh
  export DEBIAN_FRONTEND=noninteractive
  apt_get=(apt-get -o DPkg::Lock::Timeout=600)

  # Libraries of the native list (the benchmark library is not built here).
  mapfile -t native < <(sed -n '/^packages=(/,/^)/p' scripts/install-deps.sh | tr -s ' ()' '\n' | grep -E '^(lib|qt)')
  arm64=()
  for p in "${native[@]}"; do
    case $p in
      libbenchmark-dev) ;;
      *) arm64+=("$p:arm64") ;;
    esac
  done
  host=(g++-aarch64-linux-gnu qemu-user)

  missing=()
  for p in "${host[@]}" "${arm64[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      dpkg --add-architecture arm64
    fi
    echo "Installing: ${missing[*]}"
    "${apt_get[@]}" update -qq
    # Multi-Arch: same libraries need the same version on both sides, so
    # this may bring amd64 libraries up to the current point release.
    "${apt_get[@]}" install -y -qq --no-install-recommends --no-remove "${missing[@]}"
  fi
fi

# ---- configure --------------------------------------------------------------
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
start=$(date +%s)
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXA_BUILD_BENCH=OFF

# ---- build ------------------------------------------------------------------
# -k 0: build everything that can be built, so that one file that does not
# compile for ARM does not hide the others.
build_status=0
cmake --build "$build" -j 2 -- -k 0 2>&1 | tee "$build/cross-build.log" || build_status=$?
build_time=$(( $(date +%s) - start ))
echo "== build: $build_time s, status $build_status"
if [ "$build_status" != 0 ]; then
  echo "== compile and link failures:"
  grep -E '^FAILED:|error:' "$build/cross-build.log" || true
fi
[ "$run_tests" = 1 ] || exit "$build_status"

# ---- tests under qemu -------------------------------------------------------
# ctest prefixes every test program with CMAKE_CROSSCOMPILING_EMULATOR (from
# the toolchain file), so each one runs under qemu-aarch64. Only test
# programs that were built can run; the others are listed as not run.
echo "== tests (qemu-aarch64)"
# Left out: install_consumer compiles a consumer with the build machine's g++
# against the installed tree, which is arm64 here. The tool's tests start the
# arm64 vexa program as a child process, which only runs where the kernel
# hands arm64 programs to qemu (binfmt_misc, qemu-user-binfmt).
exclude='^install_consumer$'
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  exclude+='|^tool_tests$|^tool_play_tests$'
fi
start=$(date +%s)
test_status=0
ctest --test-dir "$build" --output-on-failure -j 2 -E "$exclude" "${ctest_args[@]}" 2>&1 \
  | tee "$build/cross-ctest.log" || test_status=$?
echo "== tests: $(( $(date +%s) - start )) s, status $test_status (left out: $exclude)"

# The tests' time limits are set for native runs; under qemu a program may be
# ten times slower. Those that ran out of time run once more, directly under
# the emulator, with an hour each.
mapfile -t timed_out < <(sed -n 's/^.*Test *#[0-9]*: \([A-Za-z0-9_]*\) .*\*\*\*Timeout.*$/\1/p' "$build/cross-ctest.log")
for t in "${timed_out[@]}"; do
  exe=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  [ -n "$exe" ] || continue
  echo "== $t again, without the ctest time limit"
  t0=$(date +%s)
  rc=0
  (cd "$(dirname "$exe")" &&
    QT_LOGGING_RULES='*.debug=false' QT_QPA_PLATFORM=offscreen \
    timeout 3600 qemu-aarch64 -L / "$exe" --gtest_brief=1) 2>&1 | tee -a "$build/cross-ctest.log" || rc=$?
  echo "== $t: $(( $(date +%s) - t0 )) s, status $rc"
done

echo "== failing test cases:"
grep -E '^\[  FAILED  \] [^ ]+$' "$build/cross-ctest.log" | sort -u || echo "(none)"

[ "$build_status" = 0 ] && [ "$test_status" = 0 ]
