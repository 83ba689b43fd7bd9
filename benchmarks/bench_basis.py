"""Spline basis construction and evaluation speed: both basis types at n = 10^5 and 10^6
points, k = 10, 20.

For each case, the best of five wall times through the test module (conversions included):
  build     building the smooth from an n-point data column (knots, for "bs" a sort of
            the column, and the penalty);
  evaluate  building it and evaluating the basis at n points, 10 % of them outside the
            range, minus build: a new n x k matrix and its copy into NumPy.

Run from the repository root after building with -DVELKAN_TESTING=ON:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_basis.py
"""

import numpy as np

import _velkan_testing as T
from measure import best_seconds

REPEATS = 5


def best_ms(fn):
    return best_seconds(fn, REPEATS)[0] * 1e3


def main():
    rng = np.random.default_rng(7)
    print(f"{'basis':>5} {'n':>9} {'k':>3} {'build ms':>9} {'evaluate ms':>12} {'ns/row':>8}")
    for n in (100_000, 1_000_000):
        data = rng.normal(size=n)
        spread = np.ptp(data)
        points = rng.uniform(data.min() - 0.05 * spread, data.max() + 0.05 * spread, n)
        for kind in ("cr", "bs"):
            for k in (10, 20):
                if kind == "cr":
                    term = lambda *p: T.smooth_cr_term(k, data.min(), data.max(), *p)
                else:
                    term = lambda *p: T.smooth_bs_term(k, data, *p)
                build = best_ms(term)
                evaluate = best_ms(lambda: term(points)) - build
                print(f"{kind:>5} {n:>9} {k:>3} {build:>9.2f} {evaluate:>12.2f} {evaluate * 1e6 / n:>8.1f}")


if __name__ == "__main__":
    main()
