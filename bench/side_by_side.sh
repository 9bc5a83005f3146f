#!/usr/bin/env bash
# Times vexa beside the tools people use today on the same files, in one run,
# alternating the sides, and prints medians and ratios.
#
#   bash bench/side_by_side.sh [REPS]
#
# Test audio comes from the shared generator (../shared/bench/gen_audio.sh),
# written to $AUDIO_DIR (default: build/bench-audio). SoX and FFmpeg are
# installed here, for the benchmark only; the library never uses them.
set -euo pipefail
cd "$(dirname "$0")/.."
REPS=${1:-5}
ROOT=$PWD
GEN=${VEXA_BENCH_GEN:-$ROOT/../shared/bench}
export AUDIO_DIR=${AUDIO_DIR:-$ROOT/build/bench-audio}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

need=()
for p in sox libsox-fmt-all ffmpeg lame flac bc python3-numpy python3-scipy; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ "${#need[@]}" -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
bash "$GEN/gen_audio.sh" >&2

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vexa_bench vexa_cli >/dev/null
VEXA=$ROOT/build/bench/vexa_bench
VEXA_TOOL=$ROOT/build/tools/vexa/vexa
M=$AUDIO_DIR/music10.wav
ALB=$AUDIO_DIR/album_side.wav

EQ_F=(31 62 125 250 500 1000 2000 4000 8000 16000)
EQ_G=(+3 -3 +3 -3 +3 -3 +3 -3 +3 -3)
SOX_EQ=(); FF_EQ64=""
for i in "${!EQ_F[@]}"; do
  SOX_EQ+=(equalizer "${EQ_F[$i]}" 1o "${EQ_G[$i]}")
  FF_EQ64+="${FF_EQ64:+,}equalizer=f=${EQ_F[$i]}:t=o:w=1:g=${EQ_G[$i]}:r=f64"
done
FF=(ffmpeg -nostdin -hide_banner -nostats -y -v error)

# name | command ... ; cases of one group alternate within each repetition.
declare -A TIMES
time_case() {
  local name=$1; shift
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $name" >&2; return 1; }
  t1=$(date +%s.%N)
  TIMES[$name]+="$(echo "$t1 - $t0" | bc) "
}

group_eq() {
  time_case vexa_eq10 "$VEXA" eq10 "$M" "$OUT/eq_vexa.wav"
  time_case ffmpeg_eq10_f64_ft1 "${FF[@]}" -filter_threads 1 -i "$M" -af "$FF_EQ64" "$OUT/eq_ff.wav"
  time_case sox_eq10 sox "$M" "$OUT/eq_sox.wav" "${SOX_EQ[@]}"
}
# The same limiting on both sides: +6 dB in, ceiling 0.98, 10 ms look-ahead
# (attack), 100 ms release, no automatic level.
group_limit() {
  time_case vexa_limit "$VEXA" limit "$M" "$OUT/limit_vexa.wav"
  time_case ffmpeg_alimiter "${FF[@]}" -filter_threads 1 -i "$M" -af "alimiter=level_in=2:limit=0.98:attack=10:release=100:level=0" "$OUT/limit_ff.wav"
}
group_copy() {
  time_case vexa_copy "$VEXA" copy "$M" "$OUT/copy_vexa.wav"
  time_case sox_copy sox "$M" "$OUT/copy_sox.wav"
}

group_detect() {
  time_case vexa_detect "$VEXA" detect "$ALB"
  time_case ffmpeg_silencedetect "${FF[@]}" -v info -i "$ALB" -af silencedetect=noise=-50dB:d=1 -f null -
}
group_split() {
  rm -rf "$OUT/split_vexa" "$OUT/split_sox"; mkdir -p "$OUT/split_vexa" "$OUT/split_sox"
  time_case vexa_split "$VEXA" split "$ALB" "$OUT/split_vexa/track.wav"
  time_case sox_silence_split sox "$ALB" "$OUT/split_sox/track.wav" silence 1 0.5 -50d 1 1.0 -50d : newfile : restart
  rm -rf "$OUT/split_tool"; mkdir -p "$OUT/split_tool"
  time_case vexa_tool_split "$VEXA_TOOL" split "$ALB" "$OUT/split_tool/track.wav"
}
# Whole-file level statistics (RMS and peak levels), nothing written.
group_stats() {
  time_case vexa_stats "$VEXA" stats "$M"
  time_case sox_stats sox "$M" -n stats
}

for ((r = 0; r < REPS; r++)); do
  group_eq
  group_limit
  group_copy
  group_detect
  group_split
  group_stats
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
declare -A MED
for k in "${!TIMES[@]}"; do MED[$k]=$(echo "${TIMES[$k]}" | median); done

printf '| case | median s (%d runs) | ratio to vexa |\n|---|---|---|\n' "$REPS"
row() { printf '| %s | %.3f | %s |\n' "$1" "${MED[$1]}" "$(echo "scale=2; ${MED[$1]} / ${MED[$2]}" | bc)"; }
row vexa_eq10 vexa_eq10
row ffmpeg_eq10_f64_ft1 vexa_eq10
row sox_eq10 vexa_eq10
row vexa_limit vexa_limit
row ffmpeg_alimiter vexa_limit
row vexa_copy vexa_copy
row sox_copy vexa_copy
row vexa_detect vexa_detect
row ffmpeg_silencedetect vexa_detect
row vexa_split vexa_split
row sox_silence_split vexa_split
row vexa_tool_split vexa_split
row vexa_stats vexa_stats
row sox_stats vexa_stats
echo
echo "files written by the last split: vexa step detector $(ls "$OUT/split_vexa" | wc -l), vexa tool $(ls "$OUT/split_tool" | wc -l), sox $(ls "$OUT/split_sox" | wc -l)"

# The tool's track boundaries against the generator's truth.
"$VEXA_TOOL" split "$ALB" "$OUT/dry/track.wav" --dry-run --json > "$OUT/tool_split.json"
python3 - "$AUDIO_DIR/album_side.truth.json" "$OUT/tool_split.json" <<'PY'
import json, sys
truth = json.load(open(sys.argv[1]))["tracks"]
found = json.load(open(sys.argv[2]))["tracks"]
print(f"tracks: truth {len(truth)}, vexa tool {len(found)}")
for t in truth:
    # The found track that overlaps this one the most.
    best = max(found, key=lambda f: min(f["end_s"], t["end_s"]) - max(f["start_s"], t["start_s"]), default=None)
    if best is None or min(best["end_s"], t["end_s"]) <= max(best["start_s"], t["start_s"]):
        print(f"track {t['index']}: missed")
        continue
    fade = " (fade-out)" if t.get("fade_out") else ""
    print(f"track {t['index']}: start {best['start_s'] - t['start_s']:+.2f} s, end {best['end_s'] - t['end_s']:+.2f} s{fade}")
PY
