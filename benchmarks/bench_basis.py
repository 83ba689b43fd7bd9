"""Spline basis evaluation speed: both basis types at n = 10^5 and 10^6 points, k = 10, 20.

For each case, times measured inside the core (best of five, no conversion to NumPy):
  build     building the smooth from an n-point data column (knots, for "bs" a sort of
            the column, and the penalty);
  evaluate  evaluate(): a new n x k matrix at n points, 10 % of them outside the range;
  into      evaluate_into() a buffer that is already in memory: the computation alone;
  alloc     allocating a zero n x k matrix alone: the part of evaluate() that is the
            operating system handing out fresh memory (page faults), which no choice of
            algorithm changes.

Run from the repository root after building with -DVELKAN_TESTING=ON:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_basis.py
"""
import numpy as np

import _velkan_testing as T

REPEATS = 5


def main():
    rng = np.random.default_rng(7)
    print(f"{'basis':>5} {'n':>9} {'k':>3} {'build ms':>9} {'evaluate ms':>12} "
          f"{'into ms':>8} {'alloc ms':>9} {'into ns/row':>12}")
    for n in (100_000, 1_000_000):
        data = rng.normal(size=n)
        spread = np.ptp(data)
        points = rng.uniform(data.min() - 0.05 * spread, data.max() + 0.05 * spread, n)
        for kind in ("cr", "bs"):
            for k in (10, 20):
                build, evaluate, into, alloc = T.smooth_time_evaluate(kind, k, data, points,
                                                                      REPEATS)
                print(f"{kind:>5} {n:>9} {k:>3} {build:>9.2f} {min(evaluate):>12.2f} "
                      f"{min(into):>8.2f} {min(alloc):>9.2f} {min(into) * 1e6 / n:>12.1f}")


if __name__ == "__main__":
    main()
