#!/usr/bin/python3
"""Runs one track finder on one side and writes {"tracks":[{"start_s","end_s"}...]}.

usage: peers.py vexa|ffmpeg|sox|mp3splt SIDE OUT.json [--vexa PATH] [--work DIR]

vexa     `vexa split SIDE --dry-run --json --quiet`; the JSON object on stdout
         (none, or unparsable, counts as no tracks).
ffmpeg   silencedetect=noise=-50dB:d=1; tracks are the stretches between the
         silences (a silence still open at the end runs to the end).
sox      silence 1 0.5 -50d 1 1.0 -50d : newfile : restart, which writes only
         files. Each piece is an exact sample copy of the input (sox -D: no
         dither), so its start is found by exact sample matching in the input,
         searching forward from the end of the previous piece; its end is its
         last sample at or above -50 dBFS, which drops the trailing silence sox
         keeps. Non-WAV sides are first decoded by sox to 16-bit WAV, and the
         split runs on that, so the pieces match it exactly.
mp3splt  `mp3splt -s` with default parameters (th=-48 dB, min=0, shots=25,
         off=0.8) in pretend mode (-P) with the full silence log (-F): columns
         6 and 7 hold each silence it found. Its files run from cut point to cut
         point inside those silences; we score the audio between the silences
         (what its rm parameter would keep). It reads MP3/Ogg/FLAC only, so WAV
         sides get a lossless FLAC copy (flac, same samples and timing).
"""
import argparse, glob, json, os, re, shutil, subprocess, tempfile, time
import numpy as np
from scipy.io import wavfile

TIMEOUT = 1800


def duration(path):
    out = subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'format=duration', '-of', 'csv=p=0', path],
                         capture_output=True, text=True).stdout
    return float(out.strip() or 0)


def between(silences, dur):
    """Stretches of [0, dur] not covered by the silences."""
    tracks, pos = [], 0.0
    for s, e in sorted(silences):
        if s - pos > 1e-3:
            tracks.append((pos, s))
        pos = max(pos, e)
    if dur - pos > 1e-3:
        tracks.append((pos, dur))
    return tracks


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, errors='replace', timeout=TIMEOUT, **kw)


def vexa(side, a, work):
    p = run([a.vexa, 'split', side, '--dry-run', '--json', '--quiet'])
    tracks = []
    try:
        doc = json.loads(p.stdout[p.stdout.index('{'):p.stdout.rindex('}') + 1])
        tracks = [(float(t['start_s']), float(t['end_s'])) for t in doc.get('tracks') or []]
    except (ValueError, KeyError, TypeError, AttributeError):
        pass
    return tracks, p


def ffmpeg(side, a, work):
    p = run(['ffmpeg', '-hide_banner', '-nostats', '-i', side, '-af', 'silencedetect=noise=-50dB:d=1',
             '-f', 'null', '-'])
    dur, sil, start = duration(side), [], None
    for kind, v in re.findall(r'silence_(start|end): (-?[\d.]+)', p.stderr):
        if kind == 'start':
            start = max(0.0, float(v))
        elif start is not None:
            sil.append((start, float(v)))
            start = None
    if start is not None:
        sil.append((start, dur))
    return between(sil, dur), p


def read_pcm(path):
    sr, x = wavfile.read(path)
    return sr, x.reshape(len(x), x.shape[1] if x.ndim > 1 else 1)


def locate(ref, piece, pos):
    """First index >= pos where piece occurs exactly in ref, or None."""
    n = len(ref) - len(piece) + 1
    if n <= pos:
        return None
    cand = np.flatnonzero((ref[pos:n] == piece[0]).all(axis=1)) + pos
    for j in range(1, min(len(piece), 64)):
        if len(cand) <= 1:
            break
        cand = cand[(ref[cand + j] == piece[j]).all(axis=1)]
    for c in cand:
        if np.array_equal(ref[c:c + len(piece)], piece):
            return int(c)
    return None


def sox(side, a, work):
    ref = side
    if not side.endswith('.wav'):
        ref = os.path.join(work, 'ref.wav')
        subprocess.run(['sox', '-D', side, '-b', '16', ref], check=True, timeout=TIMEOUT)
    p = run(['sox', '-D', ref, os.path.join(work, 'p.wav'),
             'silence', '1', '0.5', '-50d', '1', '1.0', '-50d', ':', 'newfile', ':', 'restart'])
    sr, x = read_pcm(ref)
    thr = 32768 * 10 ** (-50 / 20)
    tracks, pos, lost = [], 0, 0
    for f in sorted(glob.glob(os.path.join(work, 'p*.wav'))):
        _, piece = read_pcm(f)
        if not len(piece):
            continue
        at = locate(x, piece, pos)
        if at is None:
            lost += 1
            continue
        loud = np.flatnonzero(np.abs(piece.astype(np.int32)).max(axis=1) >= thr)
        if len(loud):
            tracks.append((at / sr, (at + loud[-1] + 1) / sr))
        pos = at + len(piece)
    if lost:
        p.stderr += f'\n{lost} sox pieces not found in the input'
    return tracks, p


def mp3splt(side, a, work):
    src = side
    if side.endswith('.wav'):
        src = os.path.join(work, 'side.flac')
        subprocess.run(['flac', '-s', '-f', '-o', src, side], check=True, timeout=TIMEOUT)
    log = os.path.join(work, 'full.log')
    p = run(['mp3splt', '-q', '-s', '-P', '-F', log, src], cwd=work)
    sil = set()
    if os.path.exists(log):
        for line in open(log):
            c = line.rstrip('\n').split('\t')
            if len(c) >= 7 and c[5].strip() and c[6].strip():
                sil.add((float(c[5]), float(c[6])))
    return between(sil, duration(side)), p


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('tool', choices=['vexa', 'ffmpeg', 'sox', 'mp3splt'])
    ap.add_argument('side')
    ap.add_argument('out')
    ap.add_argument('--vexa', default='/work/main/build/tools/vexa/vexa')
    ap.add_argument('--work', default=None)
    a = ap.parse_args()
    if a.work:
        os.makedirs(a.work, exist_ok=True)
    work = tempfile.mkdtemp(dir=a.work)
    t0 = time.monotonic()
    try:
        tracks, p = globals()[a.tool](a.side, a, work)
        status, err = p.returncode, p.stderr
    except (subprocess.SubprocessError, OSError) as e:
        tracks, status, err = [], -1, str(e)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    doc = dict(tool=a.tool, side=os.path.basename(a.side), exit_status=status,
               elapsed_s=round(time.monotonic() - t0, 3), stderr_tail=err[-500:],
               tracks=[dict(start_s=round(s, 3), end_s=round(e, 3)) for s, e in tracks])
    with open(a.out, 'w') as f:
        json.dump(doc, f, indent=1)


if __name__ == '__main__':
    main()
