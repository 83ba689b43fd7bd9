"""The cost in speed of the default basis and sizes: each model as a user writes it without
sizes (`s(a) + s(b) + s(c)`, `te(u, v)`, `s(u, v)`) against the same model at the earlier
defaults ("ps" with k = 10, te 5 x 5, thin-plate k = 30), and against the floors measured
in the same run: one X'WX of the default model's design (NumPy, the design already formed)
and one read of the inputs. The accuracy that chose the defaults is
validation/defaults_study.py.

    PYTHONPATH=build/dev/python nice -n 10 python3 benchmarks/bench_defaults.py [--n 100000]

BLAS on one thread, best of `--repeat` fits; the machine is shared, so compare ratios.
"""

from __future__ import annotations

import argparse

import numpy as np
from threadpoolctl import threadpool_limits

from measure import best_seconds
from velkan import GAM, s, te

PS, TP = "ps", "tp"


def best(fn, repeat: int) -> float:
    return best_seconds(fn, repeat)[0]


def cases() -> list:
    """(name, default terms, earlier default terms, input columns)"""
    additive = s(0) + s(1) + s(2)
    earlier = s(0, k=10, bs=PS) + s(1, k=10, bs=PS) + s(2, k=10, bs=PS)
    return [("s(a) + s(b) + s(c)", additive, earlier, [0, 1, 2]),
            ("te(u, v)", te(0, 1), te(0, 1, k=5), [0, 1]),
            ("s(u, v) (thin plate)", s(0, 1), s(0, 1, bs=TP, k=30), [0, 1])]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10**5)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.uniform(size=(args.n, 3))
    X[:, 2] = rng.lognormal(size=args.n)  # a skewed covariate
    y = np.sin(6 * X[:, 0]) + X[:, 1] ** 2 + np.log1p(X[:, 2]) + 0.3 * rng.normal(size=args.n)
    w = rng.uniform(0.5, 2.0, args.n)
    print(f"n = {args.n}, BLAS on one thread, best of {args.repeat}")
    print("| model | default fit s | earlier default s | ratio | p | X'WX s | fit / X'WX | read s | fit / read |")
    print("|---|---|---|---|---|---|---|---|---|")
    with threadpool_limits(1):
        for name, new, old, cols in cases():
            Xc = np.ascontiguousarray(X[:, cols])
            gam = GAM(new).fit(Xc, y)
            t_new = best(lambda: GAM(new).fit(Xc, y), args.repeat)
            t_old = best(lambda: GAM(old).fit(Xc, y), args.repeat)
            M = gam.model_matrix(Xc)
            t_xwx = best(lambda: M.T @ (M * w[:, None]), args.repeat)
            t_read = best(lambda: (Xc.sum(), y.sum()), args.repeat)
            print(f"| {name} | {t_new:.3g} | {t_old:.3g} | {t_new / t_old:.2f} | {M.shape[1]} | {t_xwx:.3g} | "
                  f"{t_new / t_xwx:.1f} | {t_read:.2g} | {t_new / t_read:.0f} |")


if __name__ == "__main__":
    main()
