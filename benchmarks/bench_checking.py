"""What checking a fitted model costs: residuals, diagnostics (with the basis-size test),
concurvity, compare, AIC, posterior draws, simulated responses and the model matrix,
against the floors measured in the same run (one X'WX of the model's design with NumPy;
one read of the inputs) and, for residuals, against the peers where they are installed
(pyGAM's deviance_residuals, statsmodels' GLM resid_deviance on the same design).

    PYTHONPATH=build/dev/python python3 benchmarks/bench_checking.py          # n = 10^5, 10^6
    python3 benchmarks/bench_checking.py --quick                              # n = 10^5 only

Model: s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + s(2, k=10, bs="ps"), k = 10 (p = 28), gaussian and poisson; every library on one
thread; best of three. Ratios, not seconds, are what to compare between runs: the machine
is shared.
"""

from __future__ import annotations

import argparse
import os
import platform
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402

from measure import best_seconds  # noqa: E402


def data(n: int, family: str, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(n, 3))
    eta = np.sin(2 * np.pi * X[:, 0]) + (X[:, 1] - 0.5) ** 2 + 0.5 * X[:, 2]
    y = eta + 0.3 * rng.normal(size=n) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
    return X, y


def peers(family: str, design: np.ndarray, X: np.ndarray, y: np.ndarray) -> tuple[str, str]:
    """Seconds of the peers' deviance residuals (fits not timed); '' where not installed."""
    out = []
    try:
        import pygam

        cls = pygam.LinearGAM if family == "gaussian" else pygam.PoissonGAM
        terms = pygam.s(0, n_splines=10) + pygam.s(1, n_splines=10) + pygam.s(2, n_splines=10)
        model = cls(terms, lam=1.0).fit(X, y)
        out.append(f"{best_seconds(lambda: model.deviance_residuals(X, y), 3)[0]:.4g}")
    except ImportError:
        out.append("")
    try:
        import statsmodels.api as sm

        fam = sm.families.Gaussian() if family == "gaussian" else sm.families.Poisson()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = sm.GLM(y, design, family=fam).fit()
        # resid_deviance is cached on first access: time what computes it, the family's
        # deviance residuals at the fitted means.
        mu = result.fittedvalues
        out.append(f"{best_seconds(lambda: result.family.resid_dev(y, mu), 3)[0]:.4g}")
    except ImportError:
        out.append("")
    return out[0], out[1]


def case(n: int, family: str) -> list[list]:
    X, y = data(n, family)
    gam = GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + s(2, k=10, bs="ps"), family=family).fit(X, y)
    small = GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps"), family=family).fit(X, y)
    M = gam.model_matrix(X)
    floor = best_seconds(lambda: M.T @ M, 3)[0]
    read = best_seconds(lambda: float(X.sum()) + float(y.sum()), 3)[0]
    fit = best_seconds(lambda: GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + s(2, k=10, bs="ps"), family=family).fit(X, y), 3)[0]
    pygam_s, sm_s = peers(family, M, X, y)
    calls = [("fit (for reference)", lambda: None, fit),
             ("residuals()", gam.residuals, None),
             ("diagnostics()", gam.diagnostics, None),
             ("concurvity()", gam.concurvity, None),
             ("compare(small, full)", lambda: velkan.compare(small, gam), None),
             ("aic() + bic()", lambda: (gam.aic(), gam.bic()), None),
             ("sample(1000)", lambda: gam.sample(1000, seed=0), None),
             ("simulate(X, 1)", lambda: gam.simulate(X, 1, seed=0), None),
             ("model_matrix(X)", lambda: gam.model_matrix(X), None)]
    rows = []
    for name, call, known in calls:
        seconds = known if known is not None else best_seconds(call, 3)[0]
        peer = (pygam_s, sm_s) if name == "residuals()" else ("", "")
        rows.append([family, n, name, f"{seconds:.4g}", f"{floor:.3g}", f"{seconds / floor:.3g}",
                     f"{seconds / read:.3g}", *peer])
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="n = 10^5 only")
    args = parser.parse_args()
    sizes = [100_000] if args.quick else [100_000, 1_000_000]
    header = ["family", "n", "call", "velkan s", "one X'WX s", "/ X'WX", "/ one read", "pyGAM s",
              "statsmodels s"]
    rows = [row for n in sizes for family in ("gaussian", "poisson") for row in case(n, family)]
    print(f"{time.strftime('%Y-%m-%d')}, {platform.machine()}, {os.cpu_count()} cores, Python "
          f"{platform.python_version()}, data in memory")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")


if __name__ == "__main__":
    main()
