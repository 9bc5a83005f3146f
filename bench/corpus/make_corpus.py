#!/usr/bin/python3
"""Makes record sides with known track boundaries for the split benchmark.

usage: make_corpus.py OUT_DIR MUSIC_LIST   (MUSIC_LIST: "package<TAB>path" lines)

Each side is NAME.wav (or .flac/.ogg/.mp3) plus NAME.truth.json. Tracks are
excerpts of the game-music packages or synthesised music, laid out like a CD
(digital silence between tracks), a vinyl side (noise bed, crackle, hum) or a
tape (drifting hiss, dropouts). Everything is seeded, so reruns are identical.

Truth: a track starts at the first 10 ms instant where the clean track (music
alone, as mixed, with its gain and fades) has a 50 ms mean square at or above
the floor at that instant, and ends at the last such instant. The floor is the
bed's (noise + hum, no clicks, no DC) mean square over 1 s around the instant,
or -90 dBFS where there is no bed.
"""
import json, os, re, subprocess, sys
from multiprocessing import Pool
import numpy as np
from scipy import signal
from scipy.io import wavfile

HOP, WIN = 0.010, 0.050          # truth resolution and RMS window (s)
NO_BED_DB = -90.0                # floor where there is no noise bed
RECIPES = ['cd', 'vinyl', 'tape', 'cd_fades', 'vinyl_quiet', 'tape_fades', 'cues']
# Format copies (index, base index, format): index and base share index % 3,
# so a copy stays in the same tune/heldout set as the side it was made from.
COPIES = [(42, 3, 'flac'), (43, 1, 'ogg'), (44, 2, 'mp3'),
          (45, 9, 'mp3'), (46, 4, 'flac'), (47, 11, 'ogg')]


def dbfs(ms):
    return 10 * np.log10(np.maximum(ms, 1e-30))


def frame_ms(x, sr, centres):
    """50 ms mean square (all channels) of x around each sample index in centres;
    samples outside x count as zero."""
    p = np.concatenate(([0.0], np.cumsum((x.astype(np.float64) ** 2).mean(axis=1))))
    half = int(round(sr * WIN / 2))
    lo = np.clip(centres - half, 0, len(x))
    hi = np.clip(centres + half, 0, len(x))
    return (p[hi] - p[lo]) / (2 * half)


def frames(n, sr):
    return np.round(np.arange(0, n / sr, HOP) * sr).astype(np.int64)


def stretches(ms_db, thr, min_gap=50):
    """(first, last) frame of each stretch at or above thr, split where it stays
    below thr for min_gap frames (0.5 s) or more."""
    idx = np.flatnonzero(ms_db >= thr)
    if not len(idx):
        return []
    br = np.flatnonzero(np.diff(idx) > min_gap)
    return list(zip(np.r_[idx[0], idx[br + 1]], np.r_[idx[br], idx[-1]]))


def normalise(x, level_db, peak=0.89):
    """Scale to an RMS of level_db, then down if the peak would pass -1 dBFS."""
    x = x * (10 ** (level_db / 20) / np.sqrt(np.mean(x ** 2) + 1e-30))
    m = np.abs(x).max()
    return x * (peak / m) if m > peak else x


def ramp_edges(x, sr, s=0.01):
    m = min(len(x) // 2, int(s * sr))
    r = np.linspace(0, 1, m)[:, None]
    x[:m] *= r
    x[len(x) - m:] *= r[::-1]
    return x


def usable(x, sr, thr_db, min_s):
    """Excerpt check: the clean 50 ms RMS must not stay below thr_db
    (max(floor, -50 dBFS)) for 0.5 s or more inside a track, since such a rest
    would be a real gap. Keep the longest stretch without one (quiet lead-in
    and tail trimmed); None if it is shorter than min_s."""
    c = frames(len(x), sr)
    st = stretches(dbfs(frame_ms(x, sr, c)), thr_db)
    if not st:
        return None
    a, b = max(st, key=lambda ab: ab[1] - ab[0])
    half = int(sr * WIN / 2)
    lo, hi = max(0, c[a] - half), min(len(x), c[b] + half)
    return ramp_edges(x[lo:hi].copy(), sr) if hi - lo >= min_s * sr else None


def decode(path, off, dur, sr):
    cmd = ['ffmpeg', '-v', 'error', '-ss', f'{off:.3f}', '-t', f'{dur:.3f}', '-i', path,
           '-ac', '2', '-ar', str(sr), '-f', 'f32le', '-']
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.float32).reshape(-1, 2).astype(np.float64)


# ---------------------------------------------------------------- synthesis
def partials(f, n, sr, amps=(1, .5, .25), detune=0.0):
    t = np.arange(n) / sr
    return sum(a * np.sin(2 * np.pi * f * (k + 1) * (1 + detune) * t)
               for k, a in enumerate(amps) if f * (k + 1) < sr / 2.2)


def pluck(f, dur, sr, decay, amps=(1, .5, .25)):
    n = max(2, int(dur * sr))
    t = np.arange(n) / sr
    e = np.minimum(t / 0.005, 1) * np.exp(-t / decay)
    m = min(n, int(0.01 * sr))
    e[n - m:] *= np.linspace(1, 0, m)          # 10 ms release to zero: rests are rests
    return partials(f, n, sr, amps) * e


def held(f, dur, sr, attack, release, amps=(1, .4, .2, .1)):
    n = int(dur * sr)
    t = np.arange(n) / sr
    e = np.minimum(np.minimum(t / attack, 1), np.maximum(dur - t, 0) / release)
    return partials(f, n, sr, amps, detune=0.002) * np.minimum(e, 1)


def drum_kit(rng, sr):
    t = np.arange(int(0.35 * sr)) / sr
    kick = np.sin(2 * np.pi * np.cumsum(45 + 105 * np.exp(-t / 0.03)) / sr) * np.exp(-t / 0.12)
    t = np.arange(int(0.2 * sr)) / sr
    sos = signal.butter(2, [800, min(6000, sr / 2.5)], 'bandpass', fs=sr, output='sos')
    snare = (signal.sosfilt(sos, rng.standard_normal(len(t))) * 1.5
             + 0.5 * np.sin(2 * np.pi * 180 * t)) * np.exp(-t / 0.05)
    t = np.arange(int(0.05 * sr)) / sr
    sos = signal.butter(2, min(7000, sr / 3), 'highpass', fs=sr, output='sos')
    hat = signal.sosfilt(sos, rng.standard_normal(len(t))) * np.exp(-t / 0.012) * 0.5
    return kick, snare, hat


def synth_track(rng, dur, sr, pad_only=False):
    """Music-like synthesis: chord pads, bass, melody, noise drums. 'sparse'
    tracks are staccato notes with rests shorter than 0.3 s."""
    n = int(dur * sr)
    y = np.zeros((n, 2))

    def put(sig, at, pan):
        i = int(at * sr)
        j = min(n, i + len(sig))
        if i < n:
            y[i:j, 0] += sig[:j - i] * (1 - pan)
            y[i:j, 1] += sig[:j - i] * pan

    beat = 60 / rng.uniform(80, 150)
    key = 220 * 2 ** (rng.integers(-5, 7) / 12)
    scale = [0, 2, 4, 5, 7, 9, 11] if rng.random() < .5 else [0, 2, 3, 5, 7, 8, 10]
    freq = lambda deg, octv=0: key * 2 ** ((scale[deg % 7] + 12 * (deg // 7 + octv)) / 12)
    prog = rng.integers(0, 7, 4)
    kind = 'pad' if pad_only else rng.choice(['band', 'sparse', 'pad'])
    kick, snare, hat = drum_kit(rng, sr)
    mel = 7
    for bar in range(int(dur / (4 * beat)) + 1):
        t0, deg = bar * 4 * beat, int(prog[bar % 4])
        if kind != 'sparse':       # sustained chord, overlapping the next one
            for k in (0, 2, 4):
                rel = 1.2 if pad_only else .4
                put(held(freq(deg + k), 4 * beat + rel, sr, .05 if kind == 'band' else .6, rel) * .3,
                    t0, .3 + .2 * k / 4)
        if kind == 'pad':
            if pad_only:
                continue
            for b in range(8):     # slow arpeggio
                put(pluck(freq(deg + [0, 2, 4, 7][b % 4], 1), beat / 2, sr, .4) * .25, t0 + b * beat / 2, .7)
            continue
        for b in range(4):
            put(pluck(freq(deg, -1), beat * (.9 if kind == 'band' else .4), sr, .25, (1, .6, .2)) * .6,
                t0 + b * beat, .5)
            if kind == 'band':
                put(kick * .8 if b % 2 == 0 else snare * .4, t0 + b * beat, .5)
                put(hat * .3, t0 + b * beat, .6)
                put(hat * .2, t0 + (b + .5) * beat, .6)
        t = t0                     # melody: random walk on the scale
        while t < t0 + 4 * beat:
            mel = int(np.clip(mel + rng.integers(-2, 3), 0, 14))
            if kind == 'sparse':
                d = rng.uniform(.1, .3)
                put(pluck(freq(mel), d, sr, .08) * .5, t, .4)
                t += d + rng.uniform(.05, .28)
            else:
                d = beat * rng.choice([.5, 1, 1, 2])
                put(pluck(freq(mel, 1), d, sr, .3) * .35, t, .4)
                t += d
    return y, kind


# ---------------------------------------------------------------- beds
def fade_curve(kind, x):
    """Gain for progress x in [0, 1] (0 silent, 1 full). 'log' stays loud and
    drops late; 'exp' drops early and has a long quiet tail (~40 dB span)."""
    if kind == 'linear':
        return x
    if kind == 'log':
        return np.log1p(99 * x) / np.log(100)
    return (100.0 ** x - 1) / 99


def noise_bed(rng, kind, n, ch, sr):
    w = rng.standard_normal((n, ch))
    if kind == 'pink':
        return signal.lfilter([0.049922035, -0.095993537, 0.050612699, -0.004408786],
                              [1, -2.494956002, 2.017265875, -0.522189400], w, axis=0)
    if kind == 'brown':
        x = signal.lfilter([1], [1, -0.995], w, axis=0)
        return signal.sosfilt(signal.butter(1, 20, 'highpass', fs=sr, output='sos'), x, axis=0)
    if kind == 'shaped':           # surface noise: mid band plus a little rumble
        mid = signal.sosfilt(signal.butter(2, [500, min(5000, sr / 2.5)], 'bandpass', fs=sr, output='sos'), w, axis=0)
        rum = signal.sosfilt(signal.butter(2, 60, 'lowpass', fs=sr, output='sos'), w, axis=0)
        return mid + 3 * rum
    if kind == 'hiss':             # tape: tilted up towards the top
        return signal.sosfilt(signal.butter(1, 2000, 'highpass', fs=sr, output='sos'), w, axis=0) + .3 * w
    return w


def side_params(cfg, rng):
    r = cfg['recipe']
    u = rng.uniform
    p = dict(bed=None, floor=NO_BED_DB, hum=None, dc=0.0, crackle=0.0, drift=False, dropouts=False,
             lead=0.0, trail=0.0, run_in=0.0, run_out=0.0, quiet=False, p_real=.65, p_cue=.2,
             p_fade=.3, p_fade_in=.15, p_zero=1.0, gap=(0.85, 5.0))
    if r in ('cd', 'cd_fades'):
        p.update(lead=u(0, 2), trail=u(0, 3), gap=(0.85, 4.0), quiet=(r == 'cd' and cfg['idx'] % 2 == 0),
                 p_fade=.25 if r == 'cd' else 1.0, p_fade_in=.1 if r == 'cd' else .3)
    else:
        p.update(run_in=u(1, 5), run_out=u(3, 10),
                 lead=u(.5, 5) if rng.random() < .5 else 0.0, trail=u(.5, 5) if rng.random() < .5 else 0.0)
    if r in ('vinyl', 'vinyl_quiet'):
        p.update(bed=rng.choice(['white', 'pink', 'brown', 'shaped']), hum=int(rng.choice([50, 60])),
                 floor=u(-80, -40) if r == 'vinyl' else u(-85, -76), crackle=u(1, 5),
                 dc=rng.choice([-1, 1]) * u(.0005, .003) if rng.random() < .4 else 0.0,
                 quiet=(r == 'vinyl_quiet'), p_fade=.4 if r == 'vinyl' else .6, p_zero=.5)
    if r in ('tape', 'tape_fades'):
        p.update(bed='hiss', floor=u(-70, -45), drift=True, dropouts=True,
                 p_fade=.3 if r == 'tape' else 1.0, p_fade_in=.15 if r == 'tape' else .4, p_zero=.3)
    if r == 'cues':
        p.update(bed=rng.choice(['white', 'pink']), floor=u(-85, -65), lead=u(.5, 5), trail=u(.5, 5),
                 p_cue=.7, p_real=.5)
    return p


# ---------------------------------------------------------------- tracks
def make_track(rng, P, sources, want, sr, ch, quiet):
    floor = P['floor']
    level = rng.uniform(max(-24, floor + (60 if quiet else 22)), -12)
    thr = max(floor + (6 if P['drift'] else 0), -50.0)
    x = None
    down = (lambda y: y.mean(axis=1, keepdims=True)) if ch == 1 else (lambda y: y)   # mono sides
    if rng.random() < P['p_real']:
        for _ in range(20):
            pkg, path, dur = sources[rng.integers(len(sources))]
            d = min(want, dur)
            off = rng.uniform(0, dur - d)
            x = usable(normalise(down(decode(path, off, d, sr)), level), sr, thr, max(10, .5 * d))
            if x is not None:
                src = f'{pkg}/{os.path.basename(path)}' + ('' if d == dur else f' @{off:.1f}s')
                break
    if x is None:
        y, kind = synth_track(rng, want, sr)
        x, src = usable(normalise(down(y), level), sr, thr, 10), f'synth:{kind}'
        assert x is not None, 'synthesised track has a rest of 0.5 s or more'
    meta = dict(source=src, level_dbfs=round(float(dbfs(np.mean(x ** 2))), 2), fade='none')
    n = len(x)
    if quiet and n > 85 * sr:     # pianissimo passage 40 dB down, a pad fading in as the music fades out
        ql, r = rng.uniform(8, 20), int(2 * sr)
        a = int(rng.uniform(.35, .5) * n)
        b = a + int(ql * sr) + 2 * r
        pad = normalise(down(synth_track(rng, (b - a) / sr + .1, sr, pad_only=True)[0][:b - a]), meta['level_dbfs'] - 40)
        g = np.ones(n)
        down = 10 ** (-3 * np.linspace(0, 1, r))
        g[a:a + r], g[a + r:b - r], g[b - r:b] = down, 0, down[::-1]
        pg = np.ones(b - a)
        pg[:r] = 10 ** (-1.5 * np.linspace(1, 0, r))
        pg[-r:] = pg[:r][::-1]
        x = x * g[:, None]
        pad = pad * pg[:, None]
        # keep its quietest 50 ms at least 16 dB over the floor (the music is muted there)
        q = frame_ms(pad[r:-r], sr, frames(b - a - 2 * r, sr)[5:-5])
        lift = 10 ** (max(0.0, floor + 16 - dbfs(q.min())) / 20)
        x[a:b] += pad * lift
        q = frame_ms(x[a + r:b - r], sr, frames(b - a - 2 * r, sr)[5:-5])
        meta['quiet'] = [a / sr + 2, b / sr - 2, round(float(dbfs(q.mean())), 2)]
        meta['quiet_min_above_floor_db'] = round(float(dbfs(q.min()) - floor), 1)
    if rng.random() < P['p_fade_in']:
        k = rng.choice(['linear', 'log', 'exp'])
        m = int(min(rng.uniform(1, 5), n / sr / 4) * sr)
        x[:m] *= fade_curve(k, np.linspace(0, 1, m))[:, None]
        meta.update(fade_in=k, fade_in_s=round(m / sr, 2))
    if rng.random() < P['p_fade']:
        k = rng.choice(['linear', 'log', 'exp'])
        m = int(min(rng.uniform(2, 10), n / sr / 3) * sr)
        g = fade_curve(k, np.linspace(1, 0, m))
        x[n - m:] *= g[:, None]
        to_zero = P['bed'] is None or rng.random() < P['p_zero']
        if not to_zero:        # fade into the noise: cut once the music is 12 dB under the floor
            cut = np.flatnonzero(g <= 10 ** ((floor - meta['level_dbfs'] - 12) / 20))
            x = x[:n - m + (cut[0] if len(cut) else m)]
        meta.update(fade=k, fade_s=round(m / sr, 2), fade_to_zero=bool(to_zero))
    return x, meta


def build_side(cfg, sources, out):
    rng = np.random.default_rng(cfg['seed'])
    P = side_params(cfg, rng)
    sr, ch = cfg['sr'], cfg['ch']
    budget = cfg['length'] - P['lead'] - P['trail'] - P['run_in'] - P['run_out']
    tracks, gaps, used, quiet_done = [], [], 0.0, not P['quiet']
    while budget - used >= 12 or len(tracks) < 2:
        cue = rng.random() < P['p_cue']
        want = rng.uniform(10, 30) if cue else rng.uniform(150, 240) if rng.random() < .15 else rng.uniform(30, 150)
        want = max(10.0, min(want, budget - used))
        if not quiet_done and want > 60:
            want = max(want, 100)
        x, meta = make_track(rng, P, sources, want, sr, ch, not quiet_done)
        quiet_done = quiet_done or 'quiet' in meta
        if tracks:
            gaps.append(rng.uniform(*P['gap']))
            used += gaps[-1]
        tracks.append((x, meta))
        used += len(x) / sr
    # layout: lead zeros | run-in | t1 | gap | t2 ... | run-out | trail zeros
    offs, pos = [], int((P['lead'] + P['run_in']) * sr)
    for i, (x, _) in enumerate(tracks):
        offs.append(pos)
        pos += len(x) + (int(gaps[i] * sr) if i < len(gaps) else 0)
    b0, b1 = int(P['lead'] * sr), pos + int(P['run_out'] * sr)
    total = b1 + int(P['trail'] * sr)
    side = np.zeros((total, ch))
    floor_ms = np.full(len(frames(total, sr)), 10 ** (NO_BED_DB / 10))
    feats = [f'{sr // 1000 if sr % 1000 == 0 else sr / 1000}k'] + (['mono'] if ch == 1 else [])
    feats += ['leading_zeros'] * (P['lead'] >= .5) + ['trailing_zeros'] * (P['trail'] >= .5)
    if P['bed']:
        nb = b1 - b0
        bed = noise_bed(rng, P['bed'], nb, ch, sr)
        bed *= 10 ** (P['floor'] / 20) / np.sqrt(np.mean(bed ** 2))
        if P['hum']:            # 50/60 Hz hum with harmonics, 3-12 dB under the noise
            t = np.arange(nb) / sr
            hum = sum(a * np.sin(2 * np.pi * P['hum'] * k * t + rng.uniform(0, 6.3))
                      for k, a in ((1, 1), (2, .5), (3, .35), (5, .15)))
            bed = bed * 0.85 + (hum * 10 ** ((P['floor'] - rng.uniform(3, 12)) / 20) / np.sqrt(np.mean(hum ** 2)))[:, None]
            feats.append(f'hum{P["hum"]}')
        if P['drift']:          # slow drift of the hiss level, +-6 dB
            tt = np.arange(0, nb / sr + 1, 1.0)
            d = sum(np.sin(2 * np.pi * tt / rng.uniform(40, 200) + rng.uniform(0, 6.3)) for _ in range(3))
            bed *= 10 ** (6 * np.interp(np.arange(nb) / sr, tt, d / np.abs(d).max()) / 20)[:, None]
            feats.append('drift')
        side[b0:b1] = bed
        P['floor'] = float(dbfs(np.mean(bed ** 2)))     # as laid (noise + hum, drift included)
        # floor at each instant: bed mean square over 1 s
        c = np.concatenate(([0.0], np.cumsum((side ** 2).mean(axis=1))))
        fc, h = frames(total, sr), sr // 2
        floor_ms = np.maximum(floor_ms, (c[np.clip(fc + h, 0, total)] - c[np.clip(fc - h, 0, total)]) / (2 * h))
        del c
        feats.append(f'bed_{P["bed"]}')
    truth, fc = [], frames(total, sr)
    for (x, meta), off in zip(tracks, offs):
        side[off:off + len(x)] += x
        k0 = max(0, int((off / sr - WIN) / HOP))
        k1 = min(len(fc), int(((off + len(x)) / sr + WIN) / HOP) + 1)
        ms = frame_ms(x, sr, fc[k0:k1] - off)
        on = np.flatnonzero(ms >= floor_ms[k0:k1])
        t = dict(start_s=round((k0 + on[0]) * HOP, 2), end_s=round((k0 + on[-1]) * HOP, 2), **meta)
        t['placed_s'] = [round(off / sr, 3), round((off + len(x)) / sr, 3)]
        if 'quiet' in t:
            t['quiet'][:2] = [round(off / sr + v, 2) for v in t['quiet'][:2]]
            feats.append('quiet_movement')
        truth.append(t)
    if P['crackle']:            # sparse clicks: 0.2-2 ms, random sign and amplitude
        for at in rng.uniform(b0, b1, rng.poisson(P['crackle'] * (b1 - b0) / sr)).astype(int):
            m = int(rng.uniform(.2e-3, 2e-3) * sr) + 1
            amp = np.exp(rng.uniform(np.log(10 ** ((P['floor'] + 15) / 20)), np.log(.25)))
            click = rng.choice([-1, 1]) * amp * np.exp(-np.arange(m) / (m / 4))
            side[at:at + m] += (click[:total - at, None] * rng.uniform(.3, 1, ch))
        feats.append('crackle')
    if P['dc']:
        side[b0:b1] += P['dc']
        feats.append('dc_offset')
    if P['dropouts']:           # inside tracks, away from their edges: exact zeros or -30 dB dips
        for t in truth:
            lo, hi = t['start_s'] + 5, t['end_s'] - t.get('fade_s', 0) - 5
            if hi - lo < 1:
                continue
            t['dropouts'] = []
            for _ in range(rng.integers(1, 3)):
                at, d = rng.uniform(lo, hi), rng.uniform(.1, .5)
                kind = 'zeros' if rng.random() < .5 else 'dip30'
                side[int(at * sr):int((at + d) * sr)] *= 0.0 if kind == 'zeros' else 10 ** (-30 / 20)
                t['dropouts'].append([round(at, 2), round(d, 2), kind])
        feats.append('dropouts')
    if any(t['fade'] != 'none' for t in truth):
        feats.append('fades' if all(t.get('fade_to_zero', True) for t in truth if t['fade'] != 'none')
                     else 'fades_into_noise')
    if any('fade_in' in t for t in truth):
        feats.append('fade_ins')
    clipped = int(np.sum(np.abs(side) > 32767 / 32768))
    pcm = np.clip(np.round(side * 32768), -32768, 32767).astype(np.int16)
    name = cfg['name']
    wavfile.write(os.path.join(out, name + '.wav'), sr, pcm[:, 0] if ch == 1 else pcm)
    doc = dict(name=name, file=name + '.wav', set=cfg['set'], style=cfg['recipe'], features=feats,
               sample_rate=sr, channels=ch, total_s=round(total / sr, 3), floor_dbfs=round(P['floor'], 2),
               clipped_samples=clipped, tracks=truth)
    with open(os.path.join(out, name + '.truth.json'), 'w') as f:
        json.dump(doc, f, indent=1)
    return doc


def make_copy(job):
    (cfg, base), out = job
    src = os.path.join(out, base['file'])
    fmt = cfg['fmt']
    dst = os.path.join(out, f"{cfg['name']}.{fmt}")
    cmd = {'flac': ['flac', '-s', '-f', '-o', dst, src],
           'ogg': ['oggenc', '-Q', '-q', '6', '-s', str(cfg['idx']), '-o', dst, src],   # fixed stream serial
           'mp3': ['lame', '--quiet', '--cbr', '-b', '192', src, dst]}[fmt]
    subprocess.run(cmd, check=True)
    doc = dict(base, name=cfg['name'], file=os.path.basename(dst), set=cfg['set'],
               features=base['features'] + [fmt], copy_of=base['name'])
    if fmt == 'mp3':
        doc['note'] = ('MP3 copy: the encoder/decoder delay may shift every boundary by a few '
                       'tens of ms; truth is not shifted (the 0.5 s match tolerance covers it)')
    with open(os.path.join(out, cfg['name'] + '.truth.json'), 'w') as f:
        json.dump(doc, f, indent=1)
    return doc


def plan():
    plans = []
    for i in range(42):
        rng = np.random.default_rng(7000 + i)
        sr = 96000 if i == 16 else 22050 if i % 10 == 3 else 48000 if i % 5 == 1 else 44100
        ch = 1 if i % 8 == 5 else 2
        minutes = 2.4 if sr == 96000 else 2.2 + 7.3 * rng.beta(1.3, 2.2)
        r = RECIPES[i % 7]
        name = f's{i:02d}_{r}' + ('' if sr == 44100 else f'_{sr // 1000 if sr % 1000 == 0 else 22}k') \
            + ('_mono' if ch == 1 else '')
        plans.append(dict(idx=i, recipe=r, sr=sr, ch=ch, length=minutes * 60, seed=1000 + i, name=name,
                          set='heldout' if i % 3 == 2 else 'tune'))
    copies = [dict(idx=j, name=f'{plans[b]["name"].replace(f"s{b:02d}", f"s{j:02d}")}_{fmt}', fmt=fmt,
                   base=b, set='heldout' if j % 3 == 2 else 'tune') for j, b, fmt in COPIES]
    # A second held-out set, drawn with other seeds and made only once the
    # finder's tuning was over: it was never looked at while tuning.
    for i in range(21):
        rng = np.random.default_rng(9000 + i)
        sr = 48000 if i % 4 == 1 else 22050 if i % 6 == 3 else 44100
        ch = 1 if i % 7 == 4 else 2
        minutes = 2.2 + 7.3 * rng.beta(1.3, 2.2)
        r = RECIPES[(i * 3) % 7]
        name = f'f{i:02d}_{r}' + ('' if sr == 44100 else f'_{sr // 1000 if sr % 1000 == 0 else 22}k') \
            + ('_mono' if ch == 1 else '')
        plans.append(dict(idx=len(plans), recipe=r, sr=sr, ch=ch, length=minutes * 60, seed=3000 + i, name=name,
                          set='fresh'))
    return plans, copies


def _build(args):
    return build_side(*args)


def main():
    out, listing = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    for f in os.listdir(out):   # old sides (names may have changed) and the long timing side
        if re.match(r'[sf]\d\d_', f) or f.startswith('long3h'):
            os.remove(os.path.join(out, f))
    sources = []
    for line in open(listing):
        pkg, path = line.rstrip('\n').split('\t')
        dur = float(subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'format=duration',
                                    '-of', 'csv=p=0', path], capture_output=True, text=True).stdout or 0)
        if dur >= 20:           # music, not sound effects
            sources.append((pkg, path, dur))
    print(f'{len(sources)} music files', file=sys.stderr)
    plans, copies = plan()
    with Pool(2) as pool:
        docs = pool.map(_build, [(s, sources, out) for s in plans], chunksize=1)
        docs += pool.map(make_copy, [((c, docs[c['base']]), out) for c in copies], chunksize=1)
    index = [dict(name=d['name'], file=d['file'], set=d['set'], style=d['style'], features=d['features'],
                  total_s=d['total_s'], tracks=len(d['tracks'])) for d in docs]
    with open(os.path.join(out, 'index.json'), 'w') as f:
        json.dump(index, f, indent=1)
    for d in index:
        print(f"{d['name']:34s} {d['set']:8s} {d['total_s'] / 60:5.1f} min {d['tracks']:2d} tracks  "
              f"{' '.join(d['features'])}")


if __name__ == '__main__':
    main()
