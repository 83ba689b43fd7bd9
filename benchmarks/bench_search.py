"""One smoothing-parameter search (`optimize`, REML, Newton) against one X'WX.

Three cubic B-spline smooths of k = 10 on uniform inputs (p = 30, second-difference
penalties scaled as the fit paths scale them), unit weights, n = 10^5 and 10^6. Prints for
each n the best of three wall times of
  optimize      one optimize call (penalty roots, X'WX and X'Wy once, then the search),
  X'WX          one compute_xtwx on the same design,
  ratio         optimize / X'WX,
  criterion     one REML score from the data (forms X'WX itself),
  cached        one REML score from the cached cross products (what every line-search
                trial costs),
and, from one traced run, the number of Newton iterations and the total time the traced
line searches took.

Run from the repository root after building with -DVELKAN_TESTING=ON:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_search.py
"""
import contextlib
import io
import os
import re

import numpy as np
from scipy.interpolate import BSpline

import _velkan_testing as T
from measure import best_seconds

REPEATS = 3
K = 10


def design(n, rng):
    xs = rng.uniform(0, 1, (n, 3))
    inner = np.linspace(0, 1, K - 2)
    h = inner[1] - inner[0]
    knots = np.r_[-3 * h, -2 * h, -h, inner, 1 + h, 1 + 2 * h, 1 + 3 * h]
    blocks = [BSpline.design_matrix(xs[:, j], knots, 3).toarray() for j in range(3)]
    x = np.ascontiguousarray(np.hstack(blocks))
    y = np.sin(2 * np.pi * xs[:, 0]) + 4 * (xs[:, 1] - 0.5) ** 2 + 0.3 * rng.standard_normal(n)
    d = np.diff(np.eye(K), 2, axis=0)
    sk = d.T @ d
    pens = []
    for j, b in enumerate(blocks):
        s = np.zeros((3 * K, 3 * K))
        s[j * K:(j + 1) * K, j * K:(j + 1) * K] = (
            np.abs(b).sum(1).max() ** 2 / np.abs(sk).sum(1).max() * sk)
        pens.append(s)
    return y, x, np.ones(n), pens


def best_ms(fn):
    return best_seconds(fn, REPEATS)[0] * 1e3


def traced(y, x, w, pens):
    os.environ["VELKAN_PROFILE"] = ""
    buf = io.StringIO()
    try:
        with contextlib.redirect_stdout(buf):
            T.search_optimize(y, x, w, pens, np.ones(3))
    finally:
        del os.environ["VELKAN_PROFILE"]
    out = buf.getvalue()
    searches = sum(float(v) for v in re.findall(r"Line search: (\d+\.\d+)ms", out))
    return out.count("Newton iter"), searches, out.splitlines()[-1]


def main():
    os.environ.pop("VELKAN_PROFILE", None)
    rng = np.random.default_rng(11)
    print(f"{'n':>9} {'optimize ms':>12} {'X`WX ms':>9} {'ratio':>6} {'criterion ms':>13} "
          f"{'cached ms':>10} {'iters':>6} {'line search ms':>15}")
    for n in (100_000, 1_000_000):
        y, x, w, pens = design(n, rng)
        lam, err = T.search_optimize(y, x, w, pens, np.ones(3))
        assert err is None, err
        t_opt = best_ms(lambda: T.search_optimize(y, x, w, pens, np.ones(3)))
        t_xtwx = best_ms(lambda: T.fit_make_reml_cache(y, x, w))  # X'WX with X'Wy, one pass
        t_crit = best_ms(lambda: T.fit_reml_criterion(y, x, w, list(lam), pens))
        xtwx, xtwy, ywy = T.fit_make_reml_cache(y, x, w)
        t_cached = best_ms(lambda: T.fit_reml_criterion_cached(y, x, w, xtwx, xtwy, ywy,
                                                               list(lam), pens))
        iters, ls_ms, last = traced(y, x, w, pens)
        print(f"{n:>9} {t_opt:>12.1f} {t_xtwx:>9.1f} {t_opt / t_xtwx:>6.1f} {t_crit:>13.2f} "
              f"{t_cached:>10.2f} {iters:>6} {ls_ms:>15.2f}")
        print(f"{'':>9} lambda = {np.array2string(lam, precision=4)}; {last}")


if __name__ == "__main__":
    main()
