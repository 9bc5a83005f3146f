#!/usr/bin/env bash
# Runs vexa and its peers (FFmpeg silencedetect, SoX silence, mp3splt -s) on
# every side of the corpus, writes RESULTS_DIR/TOOL/NAME.json and scores them.
#
#   run.sh [RESULTS_DIR]   score run (default ${RESULTS_DIR:-/work/main/build/corpus-results})
#   run.sh --timing        wall clock and peak memory, vexa split --dry-run vs
#                          ffmpeg silencedetect, on the longest side and a 3-hour side
#
# Builds nothing: VEXA names the binary, CORPUS_DIR the corpus (make_corpus.sh).
# How each peer's output becomes tracks is described at the top of peers.py.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CORPUS_DIR="${CORPUS_DIR:-/work/main/build/corpus}"
VEXA="${VEXA:-/work/main/build/tools/vexa/vexa}"
PY=/usr/bin/python3
TOOLS=(vexa ffmpeg sox mp3splt)

[[ -x "$VEXA" ]] || { echo "no vexa binary at $VEXA" >&2; exit 1; }
[[ -f "$CORPUS_DIR/index.json" ]] || { echo "no corpus in $CORPUS_DIR: run make_corpus.sh" >&2; exit 1; }

# Run a copy of the binary and of its library (found first through
# LD_LIBRARY_PATH, the binary has a RUNPATH), so that a rebuild during the run
# cannot mix two versions in one set of results.
snap="$(mktemp -d)"
busy=""
cleanup() {
  if [[ -n "$busy" ]]; then kill "$busy" 2>/dev/null || true; fi   # never leave the busy loop behind
  rm -rf "$snap"
}
trap cleanup EXIT
cp "$VEXA" "$snap/vexa"
lib="$(ldd "$VEXA" | awk '/libvexa/ {print $3}')"
if [[ -n "$lib" ]]; then cp -L "$lib" "$snap/$(basename "$lib")"; fi
export LD_LIBRARY_PATH="$snap${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
VERSION="vexa $(stat -c %y "$VEXA" | cut -d. -f1), sha256 $(cat "$snap"/* | sha256sum | cut -c1-12)"
VEXA="$snap/vexa"

# "seconds KiB" of one run (/usr/bin/time: wall clock, peak resident memory)
measure() {
  local out; out="$(mktemp)"
  /usr/bin/time -f '%e %M' -o "$out" "$@" >/dev/null 2>&1 || true
  tail -n 1 "$out"; rm -f "$out"
}

timing() {
  local long big
  long="$($PY -c 'import json,sys; d=json.load(open(sys.argv[1]+"/index.json"));
print(max((s for s in d if s["file"].endswith(".wav")), key=lambda s: s["total_s"])["file"])' "$CORPUS_DIR")"
  big="$CORPUS_DIR/long3h.wav"
  if [[ ! -f "$big" || "$big" -ot "$CORPUS_DIR/.stamp" ]]; then
    # 44.1 kHz stereo WAV sides, in order and repeated, until 3 hours
    mapfile -t parts < <($PY -c 'import json,sys; d=json.load(open(sys.argv[1]+"/index.json"))
s=[x for x in d if x["file"].endswith(".wav") and "44.1k" in x["features"] and "mono" not in x["features"]]
t,i=0,0
while t<3*3600: print(sys.argv[1]+"/"+s[i%len(s)]["file"]); t+=s[i%len(s)]["total_s"]; i+=1' "$CORPUS_DIR")
    echo "making $big from ${#parts[@]} sides" >&2
    sox "${parts[@]}" "$big"
  fi
  echo "$VERSION"; echo
  echo "| file | length | load | vexa median s | ffmpeg median s | vexa peak MiB | ffmpeg peak MiB |"
  echo "|---|---|---|---|---|---|---|"
  for f in "$CORPUS_DIR/$long" "$big"; do
    for load in idle busy; do
      if [[ $load == busy ]]; then ( while :; do :; done ) & busy=$!; fi
      local vt=() vm=() ft=() fm=() r
      for _ in 1 2 3 4 5; do   # alternating runs
        read -r t m <<<"$(measure "$VEXA" split "$f" --dry-run --json --quiet)"; vt+=("$t"); vm+=("$m")
        read -r t m <<<"$(measure ffmpeg -nostats -hide_banner -i "$f" -af silencedetect=noise=-50dB:d=1 -f null -)"
        ft+=("$t"); fm+=("$m")
      done
      if [[ -n "$busy" ]]; then kill "$busy"; wait "$busy" 2>/dev/null || true; busy=""; fi
      r="$($PY -c 'import sys,statistics as st; a=sys.argv[1:]; v=[float(x) for x in a]
print(f"{st.median(v[0:5]):.2f} | {st.median(v[5:10]):.2f} | {max(v[10:15])/1024:.0f} | {max(v[15:20])/1024:.0f}")' \
        "${vt[@]}" "${ft[@]}" "${vm[@]}" "${fm[@]}")"
      echo "| $(basename "$f") | $(soxi -d "$f") | $load | $r |"
    done
  done
}

if [[ "${1:-}" == --timing ]]; then timing; exit 0; fi

RESULTS_DIR="${1:-${RESULTS_DIR:-/work/main/build/corpus-results}}"
for t in "${TOOLS[@]}"; do mkdir -p "$RESULTS_DIR/$t"; done
mapfile -t sides < <($PY -c 'import json,sys; [print(s["name"], s["file"]) for s in json.load(open(sys.argv[1]+"/index.json"))]' "$CORPUS_DIR")
for line in "${sides[@]}"; do
  read -r name file <<<"$line"
  for t in "${TOOLS[@]}"; do
    $PY "$here/peers.py" "$t" "$CORPUS_DIR/$file" "$RESULTS_DIR/$t/$name.json" --vexa "$VEXA" --work "$RESULTS_DIR/_work"
  done
  echo "$name done" >&2
done
rmdir "$RESULTS_DIR/_work" 2>/dev/null || true
{ echo "$VERSION"; echo
  $PY "$here/score.py" "$CORPUS_DIR" "$RESULTS_DIR" $(printf -- '--tool %s ' "${TOOLS[@]}") --json "$RESULTS_DIR/score.json"
} | tee "$RESULTS_DIR/score.md"
