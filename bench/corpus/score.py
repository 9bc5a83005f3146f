#!/usr/bin/python3
"""Scores track finders against the corpus truth.

usage: score.py CORPUS_DIR RESULTS_DIR [--tool NAME]... [--json FILE]
       score.py --self-test

RESULTS_DIR/TOOL/NAME.json holds {"tracks":[{"start_s":..,"end_s":..}, ...]}
for side NAME; a missing, empty or unreadable file means no tracks found.

True boundaries are the start and end of every true track, detected ones the
start and end of every detected track. Starts are matched with starts and
ends with ends, one to one, nearest pair first, within TOL seconds.
A false split is a detected end followed by the next detected start with both
inside one true track, more than TOL from its edges.
"""
import argparse, glob, json, os, sys

TOL = 0.5
SETS = ('tune', 'heldout', 'fresh', 'all')


def load_tracks(path):
    try:
        with open(path) as f:
            doc = json.load(f)
        return sorted((float(t['start_s']), float(t['end_s'])) for t in doc.get('tracks') or [])
    except (OSError, ValueError, TypeError, KeyError, AttributeError):
        return []


def match(true, det, tol=TOL):
    """One-to-one matching, nearest pairs first. Returns {true index: det index}.
    The 1e-6 keeps an error of exactly tol (1.1 - 0.6 in floating point) in."""
    pairs = sorted((abs(d - t), i, j) for i, t in enumerate(true) for j, d in enumerate(det)
                   if abs(d - t) <= tol + 1e-6)
    used_t, used_d, out = set(), set(), {}
    for _, i, j in pairs:
        if i not in used_t and j not in used_d:
            used_t.add(i), used_d.add(j)
            out[i] = j
    return out


def score_side(truth_tracks, det):
    """truth_tracks: list of dicts with start_s, end_s, fade; det: sorted (start, end) list."""
    ts = [t['start_s'] for t in truth_tracks]
    te = [t['end_s'] for t in truth_tracks]
    ds, de = [d[0] for d in det], [d[1] for d in det]
    ms, me = match(ts, ds), match(te, de)
    errors = [abs(ds[j] - ts[i]) for i, j in ms.items()] + [abs(de[j] - te[i]) for i, j in me.items()]
    false_splits = 0
    for (_, end), (start, _) in zip(det, det[1:]):
        if any(s + TOL < end < e - TOL and s + TOL < start < e - TOL for s, e in zip(ts, te)):
            false_splits += 1
    faded = []
    for i, t in enumerate(truth_tracks):
        if t.get('fade', 'none') != 'none':
            near = min(de, key=lambda d: abs(d - te[i])) if de else None
            faded.append(dict(track=i + 1, fade=t['fade'], true_end=te[i], matched=i in me,
                              error_s=None if near is None else round(near - te[i], 3)))
    return dict(true=2 * len(ts), detected=2 * len(det), matched=len(ms) + len(me), errors=errors,
                false_splits=false_splits, faded=faded)


def summarise(rows):
    true = sum(r['true'] for r in rows)
    det = sum(r['detected'] for r in rows)
    m = sum(r['matched'] for r in rows)
    errs = [e for r in rows for e in r['errors']]
    faded = [f for r in rows for f in r['faded']]
    fm = [abs(f['error_s']) for f in faded if f['matched']]
    return dict(sides=len(rows), true=true, detected=det, matched=m,
                recall=m / true if true else None, precision=m / det if det else None,
                mean_err_s=sum(errs) / len(errs) if errs else None, max_err_s=max(errs) if errs else None,
                false_splits=sum(r['false_splits'] for r in rows), faded_ends=len(faded),
                faded_matched=len(fm), faded_mean_err_s=sum(fm) / len(fm) if fm else None)


def score(truths, results):
    """truths: list of truth docs; results: {tool: {side name: [(start, end)]}}."""
    out = {}
    for tool, per_side in results.items():
        sides = {d['name']: dict(score_side(d['tracks'], per_side.get(d['name'], [])), set=d['set'])
                 for d in truths}
        out[tool] = dict(sides=sides, summary={s: summarise([r for r in sides.values()
                                                              if s == 'all' or r['set'] == s]) for s in SETS})
    return out


def fmt(v, pct=False):
    if v is None:
        return '–'
    return f'{100 * v:.1f} %' if pct else f'{v:.3f}'


def report(truths, res):
    tools = list(res)
    lines = ['## Boundaries (match within %.1f s)' % TOL, '',
             '| tool | set | sides | true | detected | recall | precision | mean err s | max err s '
             '| false splits | faded ends matched | faded mean err s |',
             '|---|---|---|---|---|---|---|---|---|---|---|---|']
    for t in tools:
        for s in SETS:
            m = res[t]['summary'][s]
            lines.append(f"| {t} | {s} | {m['sides']} | {m['true']} | {m['detected']} | {fmt(m['recall'], 1)} "
                         f"| {fmt(m['precision'], 1)} | {fmt(m['mean_err_s'])} | {fmt(m['max_err_s'])} "
                         f"| {m['false_splits']} | {m['faded_matched']}/{m['faded_ends']} "
                         f"| {fmt(m['faded_mean_err_s'])} |")
    lines += ['', '## Per side: recall / precision / false splits', '',
              '| side | set | style | tracks | ' + ' | '.join(tools) + ' |',
              '|---|---|---|---|' + '---|' * len(tools)]
    for d in truths:
        cells = []
        for t in tools:
            r = res[t]['sides'][d['name']]
            p = f"{100 * r['matched'] / r['detected']:.0f}" if r['detected'] else '–'
            cells.append(f"{100 * r['matched'] / r['true']:.0f} / {p} / {r['false_splits']}")
        lines.append(f"| {d['name']} | {d['set']} | {d['style']} | {len(d['tracks'])} | " + ' | '.join(cells) + ' |')
    lines += ['', '## Faded ends: detected minus true end, s (nearest detected end; * = not matched)', '',
              '| side | track | fade | true end s | ' + ' | '.join(tools) + ' |',
              '|---|---|---|---|' + '---|' * len(tools)]
    for d in truths:
        fades = [f for f in res[tools[0]]['sides'][d['name']]['faded']] if tools else []
        for k, f in enumerate(fades):
            cells = []
            for t in tools:
                g = res[t]['sides'][d['name']]['faded'][k]
                cells.append('–' if g['error_s'] is None else f"{g['error_s']:+.2f}" + ('' if g['matched'] else '*'))
            lines.append(f"| {d['name']} | {f['track']} | {f['fade']} | {f['true_end']:.2f} | " + ' | '.join(cells) + ' |')
    return '\n'.join(lines)


def self_test():
    truth = [dict(name='x', set='tune', style='t', tracks=[
        dict(start_s=1.0, end_s=60.0, fade='linear'), dict(start_s=62.0, end_s=120.0, fade='none'),
        dict(start_s=123.5, end_s=200.0, fade='exp')])]
    exact = [(t['start_s'], t['end_s']) for t in truth[0]['tracks']]
    shifted = [(s + 0.6, e + 0.6) for s, e in exact]
    near = [(s - 0.4, e + 0.4) for s, e in exact]
    split = [exact[0], (62.0, 90.0), (92.0, 120.0), exact[2]]
    r = score(truth, {'exact': {'x': exact}, 'shifted': {'x': shifted}, 'near': {'x': near},
                      'split': {'x': split}, 'none': {}})
    # 1.1 - 0.6 is a little over 0.5 in floating point
    edge = score([dict(name='y', set='tune', style='t', tracks=[dict(start_s=0.6, end_s=60.2, fade='none')])],
                 {'edge': {'y': [(1.1, 59.7)]}})['edge']['summary']['all']
    m = {t: r[t]['summary']['all'] for t in r}
    checks = [
        (m['exact']['recall'] == 1 and m['exact']['precision'] == 1, 'truth against itself: 100 %'),
        (m['exact']['max_err_s'] == 0 and m['exact']['false_splits'] == 0, 'truth against itself: no errors'),
        (m['exact']['faded_matched'] == 2 and m['exact']['faded_mean_err_s'] == 0, 'faded ends matched exactly'),
        (m['shifted']['recall'] == 0 and m['shifted']['precision'] == 0, 'shifted by 0.6 s: 0 % recall'),
        (m['near']['recall'] == 1 and abs(m['near']['max_err_s'] - 0.4) < 1e-9, 'shifted by 0.4 s: all matched'),
        (edge['recall'] == 1, 'errors of exactly 0.5 s match'),
        (m['split']['false_splits'] == 1 and m['split']['recall'] == 1 and m['split']['precision'] == 6 / 8,
         'one extra split: one false split'),
        (m['none']['recall'] == 0 and m['none']['precision'] is None, 'nothing found: 0 % recall'),
    ]
    for ok, what in checks:
        print(('ok   ' if ok else 'FAIL ') + what)
    failed = sum(not ok for ok, _ in checks)
    print(f'{len(checks) - failed} passed, {failed} failed')
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('corpus', nargs='?')
    ap.add_argument('results', nargs='?')
    ap.add_argument('--tool', action='append')
    ap.add_argument('--json')
    ap.add_argument('--self-test', action='store_true')
    a = ap.parse_args()
    if a.self_test:
        sys.exit(self_test())
    if not a.corpus or not a.results:
        ap.error('CORPUS_DIR and RESULTS_DIR are required')
    truths = []
    for p in sorted(glob.glob(os.path.join(a.corpus, '*.truth.json'))):
        with open(p) as f:
            truths.append(json.load(f))
    tools = a.tool or sorted(d for d in os.listdir(a.results) if os.path.isdir(os.path.join(a.results, d)))
    results = {t: {d['name']: load_tracks(os.path.join(a.results, t, d['name'] + '.json')) for d in truths}
               for t in tools}
    res = score(truths, results)
    print(report(truths, res))
    if a.json:
        with open(a.json, 'w') as f:
            json.dump({t: dict(summary=res[t]['summary'], sides=res[t]['sides']) for t in res}, f, indent=1)


if __name__ == '__main__':
    main()
