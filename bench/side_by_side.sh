#!/usr/bin/env bash
# Times vexa beside the tools people use today on the same files, in one run,
# alternating the sides, and prints medians and ratios.
#
#   bash bench/side_by_side.sh [REPS]
#
# Test audio comes from the shared generator (../shared/bench/gen_audio.sh),
# written to $AUDIO_DIR (default: build/bench-audio). SoX, FFmpeg and FFTW
# are installed here, for the benchmark only; the library never uses them.
# The results table, with the machine, the date and the command, is written
# to bench/RESULTS.md (LONG=0 skips the 3-hour memory case).
set -euo pipefail
cd "$(dirname "$0")/.."
REPS=${1:-5}
ROOT=$PWD
GEN=${VEXA_BENCH_GEN:-$ROOT/../shared/bench}
export AUDIO_DIR=${AUDIO_DIR:-$ROOT/build/bench-audio}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

need=()
for p in sox libsox-fmt-all ffmpeg lame flac bc time libfftw3-dev python3-numpy python3-scipy loudgain; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ "${#need[@]}" -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
bash "$GEN/gen_audio.sh" >&2

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake -S . -B build >/dev/null # FFTW may be new: bench_fft
cmake --build build --target vexa_bench vexa_cli bench_fft >/dev/null
VEXA=$ROOT/build/bench/vexa_bench
VEXA_TOOL=$ROOT/build/tools/vexa/vexa
M=$AUDIO_DIR/music10.wav
ALB=$AUDIO_DIR/album_side.wav
# analyze writes its statistics file beside the input: a copy in $OUT.
COPY_M=$OUT/music10.wav
cp "$M" "$COPY_M"

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

TOOL_EQ=()
for i in "${!EQ_F[@]}"; do TOOL_EQ+=(--eq "${EQ_F[$i]}:${EQ_G[$i]}"); done

group_eq() {
  time_case vexa_eq10 "$VEXA" eq10 "$M" "$OUT/eq_vexa.wav"
  time_case vexa_tool_eq10 "$VEXA_TOOL" process "$M" "$OUT/eq_tool.wav" "${TOOL_EQ[@]}" --quiet
  time_case ffmpeg_eq10_f64_ft1 "${FF[@]}" -filter_threads 1 -i "$M" -af "$FF_EQ64" "$OUT/eq_ff.wav"
  time_case sox_eq10 sox "$M" "$OUT/eq_sox.wav" "${SOX_EQ[@]}"
}
# The same limiting on both sides: +6 dB in, ceiling 0.98, 10 ms look-ahead
# (attack), 100 ms release, no automatic level.
group_limit() {
  time_case vexa_limit "$VEXA" limit "$M" "$OUT/limit_vexa.wav"
  time_case vexa_tool_limit "$VEXA_TOOL" process "$M" "$OUT/limit_tool.wav" --limit 6 --quiet
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
  time_case vexa_tool_analyze "$VEXA_TOOL" analyze "$COPY_M" --bands none --no-loudness --quiet
  time_case sox_stats sox "$M" -n stats
  time_case ffmpeg_astats_ft1 "${FF[@]}" -filter_threads 1 -i "$M" -af astats=metadata=0 -f null -
}

# Loudness (EBU R128 integrated loudness, range and true peak) of the same
# file: vexa's analysis (which also takes levels and segments the file)
# against FFmpeg's meter and loudgain (-s s: no tag written, its default).
group_loudness() {
  time_case vexa_tool_loudness "$VEXA_TOOL" analyze "$COPY_M" --bands none --quiet
  time_case ffmpeg_ebur128_peak "${FF[@]}" -nostats -i "$M" -af ebur128=peak=true -f null -
  time_case loudgain loudgain -q -O -s s "$COPY_M"
}

# The tool with its default threads against one thread, on an idle machine
# and with a busy loop holding one core (as any desktop or build server
# does): parallel work must never cost more than it gives.
group_threads() {
  local load=$1
  time_case "${load}_analyze_def" "$VEXA_TOOL" analyze "$COPY_M" --bands none --quiet
  time_case "${load}_analyze_1t" env OMP_NUM_THREADS=1 "$VEXA_TOOL" analyze "$COPY_M" --bands none --quiet
  time_case "${load}_analyze10_def" "$VEXA_TOOL" analyze "$COPY_M" --quiet
  time_case "${load}_analyze10_1t" env OMP_NUM_THREADS=1 "$VEXA_TOOL" analyze "$COPY_M" --quiet
  time_case "${load}_eq10_def" "$VEXA_TOOL" process "$M" "$OUT/eq_tool.wav" "${TOOL_EQ[@]}" --quiet
  time_case "${load}_eq10_1t" env OMP_NUM_THREADS=1 "$VEXA_TOOL" process "$M" "$OUT/eq_tool.wav" "${TOOL_EQ[@]}" --quiet
  time_case "${load}_multiband_def" "$VEXA_TOOL" process "$M" "$OUT/mb_tool.wav" --level -20 --multiband 200,2000 --quiet
  time_case "${load}_multiband_1t" env OMP_NUM_THREADS=1 "$VEXA_TOOL" process "$M" "$OUT/mb_tool.wav" --level -20 --multiband 200,2000 --quiet
}

for ((r = 0; r < REPS; r++)); do
  group_eq
  group_limit
  group_copy
  group_detect
  group_split
  group_stats
  group_loudness
  group_threads idle
done
( while :; do :; done ) &
BUSY=$!
trap 'kill $BUSY 2>/dev/null || true; rm -rf "$OUT"' EXIT
for ((r = 0; r < REPS; r++)); do
  group_threads loaded
done
kill $BUSY

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
declare -A MED
for k in "${!TIMES[@]}"; do MED[$k]=$(echo "${TIMES[$k]}" | median); done

# Peak memory (maximum resident set) of one run of each command.
declare -A MEM
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
MEM[vexa_tool_eq10]=$(peak_kib "$VEXA_TOOL" process "$M" "$OUT/eq_tool.wav" "${TOOL_EQ[@]}" --quiet)
MEM[ffmpeg_eq10_f64_ft1]=$(peak_kib "${FF[@]}" -filter_threads 1 -i "$M" -af "$FF_EQ64" "$OUT/eq_ff.wav")
MEM[sox_eq10]=$(peak_kib sox "$M" "$OUT/eq_sox.wav" "${SOX_EQ[@]}")
MEM[vexa_tool_limit]=$(peak_kib "$VEXA_TOOL" process "$M" "$OUT/limit_tool.wav" --limit 6 --quiet)
MEM[ffmpeg_alimiter]=$(peak_kib "${FF[@]}" -filter_threads 1 -i "$M" -af "alimiter=level_in=2:limit=0.98:attack=10:release=100:level=0" "$OUT/limit_ff.wav")
MEM[vexa_tool_analyze]=$(peak_kib "$VEXA_TOOL" analyze "$COPY_M" --bands none --quiet)
MEM[sox_stats]=$(peak_kib sox "$M" -n stats)
MEM[ffmpeg_astats_ft1]=$(peak_kib "${FF[@]}" -filter_threads 1 -i "$M" -af astats=metadata=0 -f null -)
rm -rf "$OUT/split_tool"; mkdir -p "$OUT/split_tool"
MEM[vexa_tool_split]=$(peak_kib "$VEXA_TOOL" split "$ALB" "$OUT/split_tool/track.wav" --quiet)
rm -rf "$OUT/split_sox"; mkdir -p "$OUT/split_sox"
MEM[sox_silence_split]=$(peak_kib sox "$ALB" "$OUT/split_sox/track.wav" silence 1 0.5 -50d 1 1.0 -50d : newfile : restart)

{
printf '| case | median s (%d runs) | ratio to the first vexa row | peak memory MiB |\n|---|---|---|---|\n' "$REPS"
row() {
  local mem="${MEM[$1]:-}"
  [ -n "$mem" ] && mem=$(echo "scale=1; $mem / 1024" | bc)
  printf '| %s | %.3f | %.2f | %s |\n' "$1" "${MED[$1]}" "$(echo "scale=3; ${MED[$1]} / ${MED[$2]}" | bc)" "$mem"
}
row vexa_eq10 vexa_eq10
row vexa_tool_eq10 vexa_eq10
row ffmpeg_eq10_f64_ft1 vexa_eq10
row sox_eq10 vexa_eq10
row vexa_limit vexa_limit
row vexa_tool_limit vexa_limit
row ffmpeg_alimiter vexa_limit
row vexa_copy vexa_copy
row sox_copy vexa_copy
row vexa_detect vexa_detect
row ffmpeg_silencedetect vexa_detect
row vexa_split vexa_split
row sox_silence_split vexa_split
row vexa_tool_split vexa_split
row vexa_stats vexa_stats
row vexa_tool_analyze vexa_stats
row sox_stats vexa_stats
row ffmpeg_astats_ft1 vexa_stats
row vexa_tool_loudness vexa_tool_loudness
row ffmpeg_ebur128_peak vexa_tool_loudness
row loudgain vexa_tool_loudness
echo
echo "Default threads against one thread (OMP_NUM_THREADS=1), idle and with a busy loop on one core:"
echo
echo '| command | load | default s | one thread s | default / one |'
echo '|---|---|---|---|---|'
for load in idle loaded; do
  for c in analyze analyze10 eq10 multiband; do
    d=${MED[${load}_${c}_def]}; o=${MED[${load}_${c}_1t]}
    printf '| %s | %s | %.3f | %.3f | %.2f |\n' "$c" "$load" "$d" "$o" "$(echo "scale=3; $d / $o" | bc)"
  done
done
echo
echo "files written by the last split: vexa step detector $(ls "$OUT/split_vexa" | wc -l), vexa tool $(ls "$OUT/split_tool" | wc -l), sox $(ls "$OUT/split_sox" | wc -l)"

# Track boundaries against the generator's truth: the tool's from its JSON,
# SoX's by finding where each of its files' samples sit in the side (they
# are exact copies). A boundary counts when within 1 s of the true one.
"$VEXA_TOOL" split "$ALB" "$OUT/dry/track.wav" --dry-run --json > "$OUT/tool_split.json"
/usr/bin/python3 - "$AUDIO_DIR/album_side.truth.json" "$OUT/tool_split.json" "$ALB" "$OUT/split_sox" <<'PY'
import glob, json, sys, wave
import numpy as np
truth = json.load(open(sys.argv[1]))["tracks"]
tool = [(t["start_s"], t["end_s"]) for t in json.load(open(sys.argv[2]))["tracks"]]

def samples(name):
    with wave.open(name) as w:
        return w.getframerate(), np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16)[0::w.getnchannels()]

rate, side = samples(sys.argv[3])
sox = []
for name in sorted(glob.glob(sys.argv[4] + "/*.wav")):
    _, part = samples(name)
    if len(part) < 64:
        continue
    first = int(np.argmax(part != 0))
    key = part[first:first + 64]
    for c in np.nonzero(side == key[0])[0]:
        if c + 64 <= len(side) and np.array_equal(side[c:c + 64], key):
            begin = c - first
            sox.append((begin / rate, (begin + len(part)) / rate))
            break

def score(name, found):
    hits = 0
    for t in truth:
        for edge, k in ((t["start_s"], 0), (t["end_s"], 1)):
            hits += any(abs(f[k] - edge) <= 1.0 for f in found)
    print(f"{name}: {len(found)} tracks, {hits} of {2 * len(truth)} true boundaries within 1 s")
    for t in truth:
        best = max(found, key=lambda f: min(f[1], t["end_s"]) - max(f[0], t["start_s"]), default=None)
        if best is None or min(best[1], t["end_s"]) <= max(best[0], t["start_s"]):
            print(f"  track {t['index']}: missed")
            continue
        fade = " (fade-out)" if t.get("fade_out") else ""
        print(f"  track {t['index']}: start {best[0] - t['start_s']:+.2f} s, end {best[1] - t['end_s']:+.2f} s{fade}")

score("vexa split", tool)
score("sox silence : newfile : restart", sox)
PY

echo
echo "FFT engine against FFTW (FFTW_MEASURE), one stereo transform forward and back:"
echo
echo '| N | vexa µs | FFTW µs | ratio |'
echo '|---|---|---|---|'
"$ROOT/build/bench/bench_fft" --benchmark_filter='^BM_(Radix2|Fftw)StereoForwardInverse/(1024|8192|65536)$' --benchmark_format=csv 2>/dev/null \
  | /usr/bin/python3 -c '
import csv, sys
rows = {}
for r in csv.DictReader(l for l in sys.stdin if l.startswith(("name", "\""))):
    name, n = r["name"].strip("\"").split("/")
    unit = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[r["time_unit"]]
    rows.setdefault(int(n), {})["fftw" if "Fftw" in name else "vexa"] = float(r["real_time"]) * unit
for n, t in sorted(rows.items()):
    ours, fftw = t["vexa"], t["fftw"]
    print(f"| {n} | {ours:.1f} | {fftw:.1f} | {ours / fftw:.2f} |")
'

# Memory must not grow with the length: the same 10-band equalizer on a
# 3-hour file (music10.wav 18 times over).
if [ "${LONG:-1}" = 1 ]; then
  LONGWAV=$OUT/three_hours.wav
  sox $(for i in $(seq 18); do echo "$M"; done) "$LONGWAV"
  echo
  echo "vexa process --eq ×10, peak memory: 10 min $(echo "scale=1; ${MEM[vexa_tool_eq10]} / 1024" | bc) MiB," \
    "3 h $(echo "scale=1; $(peak_kib "$VEXA_TOOL" process "$LONGWAV" "$OUT/three_hours_eq.wav" "${TOOL_EQ[@]}" --quiet) / 1024" | bc) MiB"
  rm -f "$LONGWAV" "$OUT/three_hours_eq.wav"
fi
} | tee "$OUT/table.md"

{
  echo "# Side by side: vexa and the tools people use"
  echo
  echo "Machine: $(nproc) × $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/Mem:/ {print $2}') GiB;" \
    "$(lsb_release -ds 2>/dev/null || sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '"')."
  echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); vexa $(git rev-parse --short HEAD);" \
    "$(sox --version | sed 's/^.*SoX/SoX/'); $(ffmpeg -version | head -1 | cut -d' ' -f1-3)."
  echo "Command: \`bash bench/side_by_side.sh $REPS\` (medians of $REPS runs, the cases of a group alternating in each run;" \
    "music10.wav: 600 s of 44.1 kHz stereo; album_side.wav: 20.6 min, 6 tracks)."
  echo
  cat "$OUT/table.md"
  # The track-finding section comes from bench/corpus/run.sh: kept as it is.
  if [ -f "$ROOT/bench/RESULTS.md" ]; then
    sed -n '/^## Track finding on the corpus/,$p' "$ROOT/bench/RESULTS.md" | { read -r first && { echo; echo "$first"; cat; }; } || true
  fi
} > "$OUT/RESULTS.md"
mv "$OUT/RESULTS.md" "$ROOT/bench/RESULTS.md"
echo "written: bench/RESULTS.md"
