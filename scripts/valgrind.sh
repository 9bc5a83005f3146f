#!/usr/bin/env bash
# Runs the whole test suite of the normal build under valgrind's memcheck
# (the tool runs the tool tests start traced too) and sums up, per log,
# invalid accesses, uses of uninitialised values and definite leaks.
#
#   bash scripts/valgrind.sh [TEST_REGEX]
#
# Logs: build/valgrind/<test>.<pid>.log. Exit status 1 when any log has an
# error. Slow (about 30 to 60 times the normal run). OMP_WAIT_POLICY is set
# so that the tool runs as started, without restarting itself.
set -euo pipefail
cd "$(dirname "$0")/.."
FILTER=${1:-.}
command -v valgrind >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
LOGS=$PWD/build/valgrind
rm -rf "$LOGS" && mkdir -p "$LOGS"

bash scripts/pulseaudio-fixture.sh start build/tests/playback/pulse >/dev/null
trap 'bash scripts/pulseaudio-fixture.sh stop build/tests/playback/pulse >/dev/null' EXIT

# name, environment and command of each test, as ctest would run them; the
# installed-package check and the audio server fixture are not tests of the
# library's code.
ctest --test-dir build --show-only=json-v1 | python3 -c '
import json, sys, shlex
for t in json.load(sys.stdin)["tests"]:
    if t["name"] in ("install_consumer", "pulseaudio_start", "pulseaudio_stop"):
        continue
    env = [v for p in t.get("properties", []) if p["name"] == "ENVIRONMENT" for v in p["value"]]
    print(t["name"] + "\t" + " ".join(shlex.quote(e) for e in env) + "\t" + " ".join(shlex.quote(c) for c in t["command"]))
' | grep -E "^[^\t]*(${FILTER})" | while IFS=$'\t' read -r name env cmd; do
  echo "== $name"
  eval "env $env OMP_NUM_THREADS=2 OMP_WAIT_POLICY=passive VEXA_TOOL_TIMEOUT_SCALE=30 valgrind --tool=memcheck --error-exitcode=0 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=no \
    --trace-children=yes --trace-children-skip='/usr/*,/bin/*' \
    --suppressions=$PWD/scripts/valgrind.supp --log-file=$LOGS/$name.%p.log $cmd" >/dev/null 2>&1 \
    || echo "   (the test itself failed under valgrind)"
done

status=0
for log in "$LOGS"/*.log; do
  errors=$(grep -o 'ERROR SUMMARY: [0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  if [ "${errors:-0}" != 0 ]; then
    echo "$(basename "$log"): $errors error(s)"
    status=1
  fi
done
[ $status = 0 ] && echo "valgrind: no invalid access, uninitialised use or definite leak in $(ls "$LOGS" | wc -l) processes"
exit $status
