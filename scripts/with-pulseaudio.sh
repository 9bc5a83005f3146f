#!/usr/bin/env bash
# Runs a command with a private PulseAudio daemon (null sink) available to it
# through PULSE_SERVER, and stops the daemon afterwards if it started it.
#   scripts/with-pulseaudio.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${VEXA_PULSE_DIR:-$(mktemp -d /tmp/vexa-pulse.XXXXXX)}
bash "$here/pulseaudio-fixture.sh" start "$dir"
trap 'bash "$here/pulseaudio-fixture.sh" stop "$dir"' EXIT
export PULSE_SERVER="unix:$dir/native"
"$@"
