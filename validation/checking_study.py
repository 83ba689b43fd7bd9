"""Simulation study of the checks of a fitted model: the basis-size test, `compare` on
nested models, concurvity, posterior draws against analytic intervals, and the passes over
the data each check costs.

    python validation/checking_study.py            # the full study (about 10 minutes)
    python validation/checking_study.py --quick    # a few replicates, to try it out

Writes the tables to validation/results/checking.md (and prints them).

- Basis size: n = 1,000, x uniform on [0, 1], y = sin(6 pi x) + noise of sd 0.3; the
  rate at which s(x, k=5) and s(x, k=20) are flagged (p < 0.05), for the B-spline ("ps")
  and regression-spline ("cr") bases, and for poisson counts with log mean sin(6 pi x).
  A truth inside every basis (a straight line) shows the test's size.
- compare: n = 1,000, two covariates; the null model s(x1) against s(x1) + s(x2) where x2
  has no effect (size at 5 %), and where it has an effect of moderate size, 0.15 sin(2 pi
  x2) (power). Gaussian (truth sin(2 pi x1), noise sd 1) and poisson (log mean sin(2 pi
  x1)). The null is run on 1,000 data sets as well as on the first 200 (a rejection rate
  of 5 % has a standard error of 1.5 % over 200). The size is also shown with two other
  choices of degrees of freedom, to show why `compare` uses the one it does.
- Concurvity: s(x) + s(x + e) with e of sd 0.01 (near copies), and s(x) + s(z) with
  independent uniform x, z; n = 1,000.
- sample: the 2.5 % and 97.5 % quantiles of 2,000 posterior draws of the linear predictor
  at 25 points, against the analytic 95 % interval, as a share of its width.
- Passes: a streamed poisson fit over a source that counts how often it is read.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
import warnings
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402
from velkan._checking import corrected_edf, deviance_df  # noqa: E402
from velkan._inference import covariances  # noqa: E402

Z95 = 1.959963984540054


def fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velkan.ConvergenceWarning)
        return GAM(*args, **kwargs)


def basis_size(reps: int) -> list[list]:
    rows = []
    cases = [("gaussian", "ps", "sin(6 pi x)"), ("gaussian", "cr", "sin(6 pi x)"),
             ("poisson", "ps", "sin(6 pi x)"), ("gaussian", "ps", "x (inside every basis)")]
    for family, bs, truth in cases:
        flagged = {5: 0, 20: 0}
        # The truth inside every basis measures the test's size: five times the data sets.
        count = reps if truth.startswith("sin") else 5 * reps
        for r in range(count):
            rng = np.random.default_rng(1000 + r)
            x = rng.uniform(size=(1000, 1))
            eta = np.sin(6 * np.pi * x[:, 0]) if truth.startswith("sin") else x[:, 0] - 0.5
            y = eta + rng.normal(scale=0.3, size=1000) if family == "gaussian" else rng.poisson(np.exp(eta)) * 1.0
            for k in flagged:
                p = fit(s(0, k=k, bs=bs), family=family).fit(x, y).diagnostics().terms[0].p_value
                flagged[k] += p < 0.05
        rows.append([family, bs, truth, count, f"{flagged[5] / count:.3f}", f"{flagged[20] / count:.3f}"])
    return rows


def p_values(m0, m1) -> tuple[float, float, float]:
    """compare's p-value, and the same statistic against the edf and edf_c differences."""
    from scipy import stats

    p = velkan.compare(m0, m1).rows[1].p_value
    change = (m0.deviance_ - m1.deviance_) / m1.scale_
    out = [p]
    for df_of in (lambda f: float(np.sum(covariances(f).edf)), corrected_edf):
        df = max(df_of(m1._fitted) - df_of(m0._fitted), 1e-9)
        if m1._fitted.model.info.scale_estimated:
            out.append(stats.f.sf(change / df, df, m1._fitted.rows - deviance_df(m1._fitted)))
        else:
            out.append(stats.chi2.sf(change, df))
    return tuple(out)


def comparison(reps: int) -> list[list]:
    rows = []
    for family in ("gaussian", "poisson"):
        for effect, count in ((0.0, 5 * reps), (0.15, reps)):
            ps = []
            for r in range(count):
                rng = np.random.default_rng(5000 + r)
                X = rng.uniform(size=(1000, 2))
                eta = np.sin(2 * np.pi * X[:, 0]) + effect * np.sin(2 * np.pi * X[:, 1])
                y = eta + rng.normal(size=1000) if family == "gaussian" else rng.poisson(np.exp(eta)) * 1.0
                m0 = fit(s(0), family=family).fit(X, y)
                m1 = fit(s(0) + s(1), family=family).fit(X, y)
                ps.append(p_values(m0, m1))
            # The null is run five times as often: the first `reps` data sets give the rate
            # asked for, all of them a rate with a fifth of the variance.
            for first in sorted({reps, count}):
                rate = (np.asarray(ps[:first]) < 0.05).mean(axis=0)
                rows.append([family, "none (null)" if effect == 0 else f"{effect} sin(2 pi x2)", first,
                             f"{rate[0]:.3f}", f"{rate[1]:.3f}", f"{rate[2]:.3f}"])
    return rows


def concurvity(reps: int) -> list[list]:
    near, independent = [], []
    for r in range(reps):
        rng = np.random.default_rng(9000 + r)
        x, z = rng.uniform(size=1000), rng.uniform(size=1000)
        y = np.sin(3 * x) + z + rng.normal(scale=0.3, size=1000)
        near.append(fit(s(0) + s(1)).fit(np.column_stack([x, x + 0.01 * rng.normal(size=1000)]), y)
                    .concurvity().worst.min())
        independent.append(fit(s(0) + s(1)).fit(np.column_stack([x, z]), y).concurvity().worst.max())
    return [["s(x) + s(x + e), e of sd 0.01: the smaller of the two worst cases", reps,
             f"{np.min(near):.3f}", f"{np.mean(near):.3f}", "> 0.9"],
            ["s(x) + s(z), independent: the larger of the two worst cases", reps,
             f"{np.max(independent):.3f}", f"{np.mean(independent):.3f}", "< 0.2"]]


def posterior(reps: int) -> list[list]:
    rows = []
    for family in ("gaussian", "poisson"):
        worst, within = [], []
        for r in range(reps):
            rng = np.random.default_rng(12000 + r)
            X = rng.uniform(size=(1000, 2))
            eta = np.sin(2 * np.pi * X[:, 0]) + X[:, 1]
            y = eta + rng.normal(scale=0.5, size=1000) if family == "gaussian" else rng.poisson(np.exp(eta)) * 1.0
            gam = fit(s(0) + s(1), family=family).fit(X, y)
            grid = np.column_stack([np.linspace(0.02, 0.98, 25), np.linspace(0.98, 0.02, 25)])
            mean, se = gam.predict(grid, type="link", return_std=True)
            bounds = velkan.interval(gam.predict_draws(grid, gam.sample(2000, seed=r), type="link"))
            width = 2 * Z95 * se
            err = np.maximum(np.abs(bounds[:, 0] - (mean - width / 2)), np.abs(bounds[:, 1] - (mean + width / 2)))
            worst.append(float(np.max(err / width)))
            within += list(np.abs(bounds[:, 0] - (mean - width / 2)) / width <= 0.05)
            within += list(np.abs(bounds[:, 1] - (mean + width / 2)) / width <= 0.05)
        worst = np.asarray(worst)
        rows.append([family, reps, f"{np.mean(worst):.4f}", f"{np.max(worst):.4f}",
                     f"{np.mean(worst <= 0.05):.3f}", f"{np.mean(within):.4f}"])
    return rows


def passes() -> list[list]:
    rng = np.random.default_rng(7)
    X = rng.uniform(size=(200_000, 2))
    y = rng.poisson(np.exp(np.sin(2 * np.pi * X[:, 0]) + X[:, 1])) * 1.0
    reads = [0]

    def chunks():
        reads[0] += 1
        return iter([(X[i:i + 50_000], y[i:i + 50_000]) for i in range(0, 200_000, 50_000)])

    gam = fit(s(0) + s(1), family="poisson").fit(chunks)
    out = [["fit (summary pass + penalized IRLS)", reads[0], ""]]
    small = fit(s(0), family="poisson").fit(chunks)
    for name, call in (("diagnostics()", gam.diagnostics), ("concurvity()", gam.concurvity),
                       ("compare(small, large)", lambda: velkan.compare(small, gam)),
                       ("residuals()", gam.residuals), ("aic(), bic()", lambda: (gam.aic(), gam.bic())),
                       ("sample(1000)", lambda: gam.sample(1000, seed=0))):
        before = reads[0]
        start = time.perf_counter()
        call()
        out.append([name, reads[0] - before, f"{time.perf_counter() - start:.3f}"])
    return out


def table(header: list[str], rows: list[list]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few replicates")
    args = parser.parse_args()
    reps = 10 if args.quick else 200
    start = time.perf_counter()
    parts = [f"Run of {time.strftime('%Y-%m-%d')} on {platform.machine()}, Python "
             f"{platform.python_version()}, velkan {velkan.__version__}, {reps} replicates per cell.", ""]
    parts += ["### Basis size: share of fits flagged (p < 0.05)", "",
              table(["family", "basis", "truth", "replicates", "k = 5", "k = 20"], basis_size(reps)), ""]
    parts += ["### compare: rejection rate at 5 %", "",
              table(["family", "extra term's effect", "replicates", "compare", "df = edf difference",
                     "df = edf_c difference"], comparison(reps)), ""]
    parts += ["### Concurvity (worst case)", "",
              table(["design", "replicates", "extreme", "mean", "target"], concurvity(max(reps // 2, 5))), ""]
    parts += ["### sample: 2,000 draws against the analytic 95 % interval", "",
              table(["family", "replicates", "largest error / width over 50 bounds: mean", "largest",
                     "fits with every bound within 5 %", "bounds within 5 %"],
                    posterior(max(reps // 4, 5))), ""]
    parts += ["### Passes over a streamed source (200,000 rows in 4 chunks, poisson)", "",
              table(["call", "passes", "seconds"], passes()), ""]
    parts.append(f"Total time {time.perf_counter() - start:.0f} s.")
    text = "\n".join(parts)
    print(text)
    if not args.quick:
        out = Path(__file__).resolve().parent / "results" / "checking.md"
        out.write_text(text + "\n")


if __name__ == "__main__":
    sys.exit(main())
