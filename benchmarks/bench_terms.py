"""Speed of the term kinds at n = 10^6 rows in memory, each against a "ps" model of the
same number of coefficients fitted to the same rows, and of a random effect of 2,000
levels against one pass of its own fit (the engine's pass over the same rows and
design) and one X'WX of the same design formed sparsely by scipy (the floor).

    PYTHONPATH=build/dev/python nice -n 10 python3 benchmarks/bench_terms.py [--n 1000000]

Every fit runs in this process with BLAS on one thread, best of `--repeat` runs (the
machine is shared: ratios, not seconds, are what to compare). The rows compare exact fits
(binning=False), then binned ones, then the two-column thin plate as fitted by default.
"""

from __future__ import annotations

import argparse

import numpy as np
from threadpoolctl import threadpool_limits

from measure import best_seconds
from velkan import GAM, _engine, re, s, te

TP = "tp"
PS = "ps"


def best(fn, repeat: int) -> float:
    return best_seconds(fn, repeat)[0]


def data(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    X = rng.uniform(size=(n, 4))
    X[:, 3] = rng.integers(0, 5, n)
    y = np.sin(2 * np.pi * X[:, 0]) + np.cos(3 * X[:, 1]) + X[:, 2] + 0.3 * X[:, 3] + 0.3 * rng.normal(size=n)
    return X, y


# (name, new kind's terms, "ps" terms with the same number of coefficients)
CASES = [
    ("s(x, z, bs=tp, k=30)", s(0, 1, bs=TP, k=30), te(0, 1, k=(5, 6))),
    ("s(x, bs=tp, k=10)", s(0, bs=TP, k=10), s(0, k=10, bs=PS)),
    ("te(x, z, interaction_only) 6x6", te(0, 1, k=6, interaction_only=True), te(0, 1, k=(5, 5))),
    ("s(x, by=z) (numeric)", s(0, by=2, k=10), s(0, k=10, bs=PS)),
    ("s(x, constraint=increasing)", s(0, constraint="increasing", k=10), s(0, k=10, bs=PS)),
    ("select_terms: s(x) + s(z)", s(0, k=10, bs=PS) + s(1, k=10, bs=PS), s(0, k=10, bs=PS) + s(1, k=10, bs=PS)),
]


def factor_case(X: np.ndarray) -> tuple:
    import pandas as pd

    df = pd.DataFrame({"x": X[:, 0], "z": X[:, 1], "g": X[:, 3].astype(int).astype(str)})
    return df


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X, y = data(args.n, rng)
    rows = []
    with threadpool_limits(1):
        for name, new, ps in CASES:
            select = name.startswith("select")
            t_new = best(lambda: GAM(new, select_terms=select, binning=False).fit(X, y), args.repeat)
            t_ps = best(lambda: GAM(ps, binning=False).fit(X, y), args.repeat)
            rows.append((name, t_new, t_ps))
        # Binned (binning=True): the thin-plate smooth tabulated
        # on the grid of its columns' bins, against the binned tensor of the same size.
        t_new = best(lambda: GAM(CASES[0][1], binning=True).fit(X, y), args.repeat)
        t_ps = best(lambda: GAM(CASES[0][2], binning=True).fit(X, y), args.repeat)
        rows.append((CASES[0][0] + ", binned", t_new, t_ps))
        # As fitted by default: binning="auto" bins a two-column thin plate from 2 x 10^5 rows,
        # the tensor only from 2 x 10^6.
        t_new = best(lambda: GAM(CASES[0][1]).fit(X, y), args.repeat)
        t_ps = best(lambda: GAM(CASES[0][2]).fit(X, y), args.repeat)
        rows.append((CASES[0][0] + ", binning=\"auto\" (binned) against te exact", t_new, t_ps))
        df = factor_case(X)
        df["y"] = y
        t_new = best(lambda: GAM("y ~ f(g) + s(x, by=g, k=10)").fit(df), args.repeat)
        t_ps = best(lambda: GAM("y ~ f(g) + s(x, k=50, bs=ps)").fit(df), args.repeat)
        rows.append(("s(x, by=g) 5 levels, k=10", t_new, t_ps))
        t_new = best(lambda: GAM("y ~ s(x, k=10, bs=ps) + re(g)").fit(df), args.repeat)
        t_ps = best(lambda: GAM("y ~ s(x, k=10, bs=ps) + s(z, k=6, bs=ps)").fit(df), args.repeat)
        rows.append(("re(g) 5 levels", t_new, t_ps))
    print(f"n = {args.n}, BLAS on one thread, best of {args.repeat}")
    print("| term kind | fit s | same-size ps fit s | ratio |")
    print("|---|---|---|---|")
    for name, a, b in rows:
        print(f"| {name} | {a:.3g} | {b:.3g} | {a / b:.2f} |")
    random_effect_table(args.n, args.repeat, rng)


def random_effect_table(n: int, repeat: int, rng: np.random.Generator) -> None:
    """s(x) + re(g) with 2,000 levels: fit against one pass of the fit's own engine and a
    scipy sparse X'WX of the same design (intercept, ten spline columns, indicators)."""
    import scipy.sparse as sp

    levels = 2000
    g = rng.integers(0, levels, n).astype(float)
    x = rng.uniform(size=n)
    eta = np.sin(5 * x) + 0.5 * rng.normal(size=levels)[g.astype(int)]
    design = sp.hstack([sp.csr_matrix(np.column_stack([np.ones(n), _smooth_design(x)])),
                        sp.csr_matrix((np.ones(n), (np.arange(n), g.astype(int))), shape=(n, levels))]).tocsr()
    weights = sp.diags(rng.uniform(0.5, 2.0, n))
    print(f"\ns(x) + re(g), {levels} levels, n = {n}")
    print("| family | fit s | one pass s | fit / pass | sparse X'WX s (scipy) | fit / X'WX | passes | sd (truth 0.5, poisson 0.15) |")
    print("|---|---|---|---|---|---|---|---|")
    X = np.column_stack([x, g])
    cols = [np.ascontiguousarray(x), np.ascontiguousarray(g)]
    with threadpool_limits(1):
        t_floor = best(lambda: (design.T @ (weights @ design)).toarray(), repeat)
        for family in ("gaussian", "poisson"):
            y = eta + 0.5 * rng.normal(size=n) if family == "gaussian" else rng.poisson(np.exp(0.3 * eta)).astype(float)
            gam = GAM(s(0, k=10, bs=PS) + re(1), family=family)
            t_fit = best(lambda: gam.fit(X, y), repeat)
            fit = gam._fitted
            layout = fit.engine_layout()
            t_pass = best(lambda: _engine.accumulate(layout, cols, y, None, None, fit.model, fit.beta_raw,
                                                     False, False, 1), repeat)
            sd = gam.summary().variance_components[0].std_dev
            print(f"| {family} | {t_fit:.3g} | {t_pass:.3g} | {t_fit / t_pass:.2f} | {t_floor:.3g} | "
                  f"{t_fit / t_floor:.2f} | {fit.passes} | {sd:.4g} |")


def _smooth_design(x: np.ndarray) -> np.ndarray:
    """The ten columns of a default one-column smooth of x."""
    bs = [b[0] for b in _engine.bases()][0]
    knots = _engine.place_knots(bs, 10, float(x.min()), float(x.max()), None, None)
    return _engine.Layout([_engine.TermSpec("smooth", [0], [_engine.MarginSpec(bs, 10, knots)])]).design([x])


if __name__ == "__main__":
    main()
