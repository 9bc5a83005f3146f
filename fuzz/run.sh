#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer on the library too), makes their seed corpora
# from valid files, and runs each target for a fixed time, two at a time.
#
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Corpora grow in build-fuzz/corpus/<target>; findings (crash-*, leak-*,
# timeout-*, oom-*) land in build-fuzz/findings/<target>/, and a summary of
# executions and findings per target is printed at the end. Inputs that once
# failed are kept as regression cases in tests/fuzz/<target without fuzz_>/,
# which the test suite replays; they seed the runs too.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-600}
shift || true
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(fuzz_algo_json fuzz_stat_file fuzz_catalog fuzz_regions fuzz_reader_sndfile fuzz_reader_mp3)

need=()
for p in clang libclang-rt-14-dev libomp-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ "${#need[@]}" -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
bash scripts/install-deps.sh

B=build-fuzz
CC=clang CXX=clang++ cmake -S . -B $B -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_FUZZ=ON \
  -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_BENCH=OFF -DVEXA_BUILD_TOOLS=OFF >/dev/null
cmake --build $B -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_LOGGING_RULES="*=false"

SEEDS=$B/seeds
rm -rf "$SEEDS" && mkdir -p "$SEEDS"
$B/fuzz/make_seeds "$SEEDS"

run_target() {
  local t=$1
  mkdir -p "$B/corpus/$t" "$B/findings/$t" "$B/logs"
  # -timeout: an input taking over 2 s is a hang; -malloc_limit_mb: no single
  # allocation of 256 MiB or more (none may come from a header value).
  "$B/fuzz/$t" "$B/corpus/$t" "$SEEDS/$t" "tests/fuzz/${t#fuzz_}" \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=2 -rss_limit_mb=1024 -malloc_limit_mb=256 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$B/findings/$t/" \
    >"$B/logs/$t.log" 2>&1 || true
}

running=0
for t in "${TARGETS[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge 2 ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

printf '%-22s %12s %8s %s\n' target executions corpus findings
for t in "${TARGETS[@]}"; do
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$B/logs/$t.log" | grep -o '[0-9]*$' || echo "?")
  corpus=$(ls "$B/corpus/$t" | wc -l)
  findings=$(ls "$B/findings/$t" | wc -l)
  printf '%-22s %12s %8s %s\n' "$t" "$execs" "$corpus" "$findings"
done
