"""Time of one penalized IRLS fit and one REML criterion evaluation against one X'WX.

Design: three cubic regression smooths of k = 10 (p = 30), each with its second-derivative
penalty embedded in a 30 x 30 matrix. Needs the test-only module:

    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_pirls.py [n ...]

Prints one table row per (n, operation) with the best and median of a few repeats in ms,
and the ratio of the best time to the best time of one pass forming X'WX with X'Wy.
"""
import sys
import time

import numpy as np
from scipy.interpolate import CubicSpline

import _velkan_testing as t


def smooth_block(x, k):
    knots = np.linspace(x.min(), x.max(), k)
    block = np.column_stack([CubicSpline(knots, np.eye(k)[j], bc_type="natural")(x)
                             for j in range(k)])
    d = np.diff(np.eye(k), 2, axis=0) / (knots[1] - knots[0]) ** 2
    return block, d.T @ d


def design(n, rng, smooths=3, k=10):
    xs = rng.uniform(0, 1, (n, smooths))
    blocks, pens = [], []
    p = smooths * k
    for j in range(smooths):
        b, s = smooth_block(xs[:, j], k)
        blocks.append(b)
        full = np.zeros((p, p))
        full[j * k:(j + 1) * k, j * k:(j + 1) * k] = s / np.abs(s).sum(1).max()
        pens.append(full)
    eta = np.sin(2 * np.pi * xs[:, 0]) + (xs[:, 1] - 0.5) ** 2 - 0.5 * xs[:, 2]
    return np.ascontiguousarray(np.hstack(blocks)), pens, eta


def timed(fn, repeats):
    times = []
    out = None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        times.append(1e3 * (time.perf_counter() - start))
    return min(times), float(np.median(times)), out


def main(sizes):
    rng = np.random.default_rng(1)
    print(f"{'n':>9} {'operation':<34} {'best ms':>10} {'median ms':>10} {'x XtWX':>8}")
    for n in sizes:
        X, pens, eta = design(n, rng)
        lams = [1.0] * len(pens)
        y_bin = (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
        y_gau = eta + 0.3 * rng.normal(size=n)
        w = rng.uniform(0.1, 0.25, n)
        repeats = 5 if n <= 100_000 else 3

        rows = []
        base, med, _ = timed(lambda: t.fit_make_reml_cache(y_gau, X, w), repeats)
        rows.append(("X'WX with X'Wy, one pass", base, med))
        best, med, _ = timed(lambda: X.T @ (w[:, None] * X), repeats)
        rows.append(("X'WX, numpy (w[:, None] * X)", best, med))
        for fam, y in (("gaussian", y_gau), ("binomial", y_bin)):
            best, med, r = timed(lambda: t.fit_pirls(y, X, lams, pens, fam), repeats)
            rows.append((f"pirls {fam} ({r['iterations']} solves)", best, med))
        best, med, _ = timed(lambda: t.fit_reml_criterion(y_gau, X, w, lams, pens), repeats)
        rows.append(("reml_criterion from data", best, med))
        best, med, (xtwx, xtwy, ywy) = timed(lambda: t.fit_make_reml_cache(y_gau, X, w),
                                             repeats)
        rows.append(("make_reml_cache", best, med))
        best, med, _ = timed(lambda: t.fit_reml_criterion_cached(
            y_gau, X, w, xtwx, xtwy, ywy, lams, pens), repeats)
        rows.append(("reml_criterion cached", best, med))
        # A response far from zero relative to its noise: the cached path falls back to
        # the O(n p) pass over the data to keep the RSS accurate.
        y_far = y_gau + 1e4
        xf, yf, ywyf = t.fit_make_reml_cache(y_far, X, w)
        best, med, _ = timed(lambda: t.fit_reml_criterion_cached(
            y_far, X, w, xf, yf, ywyf, lams, pens), repeats)
        rows.append(("reml_criterion cached, data pass", best, med))
        for name, best, med in rows:
            print(f"{n:>9} {name:<34} {best:>10.2f} {med:>10.2f} {best / base:>8.2f}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [100_000, 1_000_000])
