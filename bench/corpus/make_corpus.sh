#!/usr/bin/env bash
# Builds the split-benchmark corpus: record sides with known track boundaries.
# Installs the tools and the freely licensed game-music packages it draws from,
# then runs make_corpus.py. Output: ${CORPUS_DIR:-/work/main/build/corpus}.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export CORPUS_DIR="${CORPUS_DIR:-/work/main/build/corpus}"

pkgs=(ffmpeg sox libsox-fmt-all lame flac vorbis-tools mp3splt python3-numpy python3-scipy
      lincity-ng-data frozen-bubble-data hedgewars-data freedroidrpg-data asc-music)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
fi

# Music files shipped by the packages, one path a line (sorted: deterministic).
list="$(mktemp)"; trap 'rm -f "$list"' EXIT
for p in lincity-ng-data frozen-bubble-data hedgewars-data freedroidrpg-data asc-music; do
  dpkg -L "$p" | grep -Ei '\.(ogg|mp3|flac|wav)$' | grep -Ei '/music/|/snd/' | sed "s|^|$p\t|" || true
done | sort -u >"$list"

# Regenerate only when the generator changed (or the output is missing).
stamp="$CORPUS_DIR/.stamp"
hash="$(cat "$here/make_corpus.sh" "$here/make_corpus.py" | sha256sum | cut -d' ' -f1)"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$hash" ]]; then
  echo "corpus up to date in $CORPUS_DIR" >&2; exit 0
fi
mkdir -p "$CORPUS_DIR"
rm -f "$stamp"
/usr/bin/python3 "$here/make_corpus.py" "$CORPUS_DIR" "$list"
echo "$hash" >"$stamp"
