#!/usr/bin/env bash
# Starts or stops a private PulseAudio daemon with a null sink, for the
# playback tests that play through Qt's audio output.
#
#   pulseaudio-fixture.sh start DIR   start one whose socket is DIR/native,
#                                     unless one already answers there
#   pulseaudio-fixture.sh stop DIR    stop it, if this script started it
#
# Clients reach it with PULSE_SERVER=unix:DIR/native. The daemon runs as the
# current user (root on CI) with no configuration but its two modules, and
# never exits on its own while idle.
set -euo pipefail
action=${1:?start or stop}
dir=${2:?runtime directory}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
export PULSE_RUNTIME_PATH="$dir"
export PULSE_STATE_PATH="$dir/state"
export PULSE_SERVER="unix:$dir/native"

answers() { pactl info > /dev/null 2>&1; }

case "$action" in
start)
  if ! command -v pulseaudio > /dev/null; then
    echo "pulseaudio is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
  if answers; then
    echo "PulseAudio already running at $PULSE_SERVER"
    exit 0
  fi
  rm -f "$dir/started-here"
  pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --log-target=file:"$dir/daemon.log" \
    --load="module-null-sink sink_name=null" \
    --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1"
  for _ in $(seq 1 50); do
    if answers; then
      touch "$dir/started-here"
      echo "PulseAudio started at $PULSE_SERVER"
      exit 0
    fi
    sleep 0.1
  done
  echo "PulseAudio did not come up; log:" >&2
  cat "$dir/daemon.log" >&2 || true
  exit 1
  ;;
stop)
  if [ -f "$dir/started-here" ]; then
    # The daemon's own pid file names exactly the process started above.
    if [ -f "$dir/pid" ]; then
      pid=$(head -n 1 "$dir/pid")
      kill "$pid" 2> /dev/null || true
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
      done
    fi
    rm -f "$dir/started-here"
    echo "PulseAudio stopped"
  fi
  ;;
*)
  echo "unknown action $action" >&2
  exit 2
  ;;
esac
