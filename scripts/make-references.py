#!/usr/bin/env python3
"""Writes the default reference catalog of `vexa match` (tools/vexa/references.json).

Each curve gives the relative level (dB, loudest band at 0 dB) of the ten
bands split at 250, 500, 1000, 2000, 3000, 4000, 6000, 8000 and 10000 Hz,
the top band reaching 20 kHz. The reference lists those nine splits and
one more frequency, where the correction's high shelf sits: ten
frequencies for ten levels. 12.5 kHz was chosen by measurement: spectra
tilted by -3 to +5 dB per decade and corrected to pink noise came
closest to it with the shelf there (11 to 20 kHz tried).

    python3 scripts/make-references.py > tools/vexa/references.json
"""
import json
import math

SPLITS = [250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000]
LOW, HIGH = 20.0, 20000.0
SHELF = 12500.0
EDGES = [LOW] + SPLITS + [HIGH]


def relative(powers):
    top = max(powers)
    return [round(10 * math.log10(p / top), 2) for p in powers]


def pink():
    # Power density proportional to 1/f: a band holds ln(high / low).
    return relative([math.log(hi / lo) for lo, hi in zip(EDGES, EDGES[1:])])


# ANSI S3.5-1997 (R2017), Table 3: standard speech spectrum level for normal
# vocal effort (dB per Hz) in the one-third-octave bands 160 Hz to 8 kHz.
ANSI_CENTRES = [160, 200, 250, 315, 400, 500, 630, 800, 1000, 1250, 1600,
                2000, 2500, 3150, 4000, 5000, 6300, 8000]
ANSI_NORMAL = [32.41, 34.48, 34.75, 33.98, 34.59, 34.27, 32.06, 28.30, 25.01,
               23.00, 20.15, 17.32, 13.18, 11.55, 9.33, 5.31, 2.59, 1.13]


def check_table():
    # The table's bands add up to the standard's overall level, 62.35 dB SPL
    # at normal effort: a check of the transcription.
    total = sum(10 ** ((level + 10 * math.log10(centre * (2 ** (1 / 6) - 2 ** (-1 / 6)))) / 10)
                for centre, level in zip(ANSI_CENTRES, ANSI_NORMAL))
    assert abs(10 * math.log10(total) - 62.35) < 0.01, 10 * math.log10(total)


def speech_density(f):
    """Spectrum level (dB per Hz) at f, or None outside the speech band."""
    for n, level in enumerate(ANSI_NORMAL):
        centre = 1000.0 * 2.0 ** ((n - 8) / 3.0)  # exact base-2 centres
        if centre * 2 ** (-1 / 6) <= f < centre * 2 ** (1 / 6):
            return level
    top = 1000.0 * 2.0 ** (9 / 3.0) * 2 ** (1 / 6)
    if f >= top:
        # Above the table: its last octave's slope (4 kHz to 8 kHz) goes on.
        slope = (ANSI_NORMAL[-1] - ANSI_NORMAL[-4]) / 1.0
        return ANSI_NORMAL[-1] + slope * math.log2(f / 8000.0)
    return None  # below 141 Hz the table has no energy


def speech():
    powers = []
    for lo, hi in zip(EDGES, EDGES[1:]):
        # Midpoint rule on a fine logarithmic grid: the density is a step
        # function with an extrapolated tail.
        steps = 20000
        total = 0.0
        for k in range(steps):
            a = lo * (hi / lo) ** (k / steps)
            b = lo * (hi / lo) ** ((k + 1) / steps)
            level = speech_density(math.sqrt(a * b))
            if level is not None:
                total += 10 ** (level / 10) * (b - a)
        powers.append(total)
    return relative(powers)


def reference(name, levels, description):
    return {
        "Class": "SoundStatReference",
        "Name": name,
        "Version": "1",
        "Frequency": SPLITS + [SHELF],
        "RelativeLevel": levels,
        "Description": description,
    }


check_table()
catalog = [
    reference("pink noise", pink(),
              "Equal energy per octave from 20 Hz to 20 kHz: the power of a band is "
              "proportional to ln(high / low), the first band starting at 20 Hz and the "
              "last ending at 20 kHz. Derived analytically by scripts/make-references.py. "
              "The last frequency (12.5 kHz) places the high shelf of the correction."),
    reference("speech", speech(),
              "Long-term average speech spectrum at normal vocal effort: ANSI S3.5-1997 "
              "(R2017), Methods for Calculation of the Speech Intelligibility Index, "
              "Table 3, standard speech spectrum level in the one-third-octave bands "
              "160 Hz to 8 kHz (62.35 dB SPL overall). Each band's spectrum level is "
              "taken as constant over the band and integrated over the analysis bands; "
              "below 141 Hz the table gives no energy, and above 8.9 kHz the table's "
              "last-octave slope (-8.2 dB per octave) is extended. "
              "The last frequency (12.5 kHz) places the high shelf of the correction. "
              "Computed by scripts/make-references.py."),
]
print(json.dumps(catalog, indent=2))
