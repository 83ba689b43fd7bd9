"""Intervals for a weak binary signal: why the 95 % intervals of the mean under-cover, and
what integrating over the smoothing parameter gives.

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/weak_binary_study.py   # under a minute; --reps N

Writes validation/results/weak_binary.md (and prints it).

Design: n = 400, x0 and x1 uniform on [0, 1], Bernoulli responses with logit mean
eta = 0.5 sin(2 pi x0); model s(0) + s(1) (cubic B-splines, k = 10), Laplace REML. Coverage
is the share of the training points whose true eta lies inside the 95 % interval of the
linear predictor, averaged over replicates.

For each data set the Laplace criterion is profiled over the log smoothing parameter of s(0)
(a grid of fixed values, rho0 = -4 .. 18; s(1)'s smoothing parameter re-estimated at each)
and the study reports:

- the intervals of the expansion about the optimum (Vp + J V_rho J' + V'', the term
  tests' covariance; velkan's intervals when this study was written), the Bayesian Vp
  alone, and velkan's intervals, which integrate each smoothing parameter out on the
  working model of the fit (python/velkan/_mixture.py);
- the edf of s(0) at the optimum and how much worse the criterion is (in log-likelihood
  units) at the grid point whose edf is closest to 4, about what the truth needs;
- intervals integrated over rho0 by quadrature on the grid: mean and variance of the
  mixture sum_q w_q N(eta_q, se_q^2) of the fits at the grid points, with w_q proportional
  to exp(-criterion_q) times the prior mass of the grid cell, under two priors: flat in rho0
  (the cell's width) and flat in the term's edf (the cell's change of edf). Centred at the
  mixture mean, and (variance about the REML fit) at the REML fit;
- a one-sided secant beside the derivative: the expansion's variance plus the squared move of
  the fit to the smaller rho0 where the criterion is 0.5 higher (one standard error of rho0
  for a quadratic criterion), or 2 higher.
"""

from __future__ import annotations

import argparse
import os
import platform
import warnings
import zlib
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402
from velkan._inference import covariances, term_edf  # noqa: E402

Z95 = 1.959963984540054
GRID = np.arange(-4.0, 18.01, 1.0)


def covers(mean, var, eta):
    return float(np.mean(np.abs(mean - eta) <= Z95 * np.sqrt(var)))


def toward_less_smoothing(sc, F, level):
    """The fit at the smaller rho0 where the profiled criterion first exceeds its minimum by
    `level` (linear interpolation between grid points; the grid's end if it never does)."""
    i0 = int(np.argmin(sc))
    j = i0
    while j > 0 and sc[j] - sc[i0] < level:
        j -= 1
    if sc[j] - sc[i0] < level:
        return F[j]
    t = (level - (sc[j + 1] - sc[i0])) / (sc[j] - sc[j + 1])
    return F[j + 1] + t * (F[j] - F[j + 1])


def replicate(rng, n=400):
    X = rng.uniform(size=(n, 2))
    eta = 0.5 * np.sin(2 * np.pi * X[:, 0])
    y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    gam = GAM(s(0) + s(1), family="binomial").fit(X, y)
    f = gam._fitted
    fit, se_velkan = gam.predict(X, type="link", return_std=True)
    se, se_vp = expansion_se(gam, X), expansion_se(gam, X, "vp")
    fits, ses, scores, edfs = [], [], [], []
    for rho in GRID:
        g = GAM(s(0, lam=float(np.exp(rho))) + s(1), family="binomial").fit(X, y)
        fits.append(g.predict(X, type="link")), ses.append(expansion_se(g, X))
        scores.append(g._fitted.score - f.score), edfs.append(term_edf(g._fitted)[1])
    F, S, sc, edf = np.array(fits), np.array(ses), np.array(scores), np.array(edfs)
    row = {"vc": covers(fit, se ** 2, eta), "vp": covers(fit, se_vp ** 2, eta), "edf": term_edf(f)[1],
           "velkan": covers(fit, se_velkan ** 2, eta), "gap4": float(sc[np.argmin(np.abs(edf - 4.0))])}
    for level in (0.5, 2.0):
        row[f"secant{level}"] = covers(fit, se ** 2 + (toward_less_smoothing(sc, F, level) - fit) ** 2, eta)
    for prior, mass in (("rho", np.ones_like(sc)), ("edf", np.abs(np.gradient(edf)))):
        w = np.exp(-(sc - sc.min())) * mass
        w /= w.sum()
        mean = w @ F
        row[f"{prior}_mean"] = covers(mean, w @ (S ** 2 + (F - mean) ** 2), eta)
        row[f"{prior}_fit"] = covers(fit, w @ (S ** 2 + (F - fit) ** 2), eta)
    return row


def expansion_se(gam, X, kind="vc_tests"):
    """Standard errors of the linear predictor from the expansion about the optimum (Vp +
    J V_rho J' + V'', what the term tests use) or from Vp."""
    design = gam.model_matrix(X)
    v = getattr(covariances(gam._fitted), kind)
    return np.sqrt(np.einsum("ij,jk,ik->i", design, v, design))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=200)
    args = ap.parse_args()
    rng = np.random.default_rng(zlib.crc32(b"weak"))
    rows = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(args.reps):
            rows.append(replicate(rng))
    col = {k: np.array([r[k] for r in rows]) for k in rows[0]}
    flat = col["edf"] < 1.5
    gap = col["gap4"]
    out = [f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
           f"NumPy {np.__version__}, velkan {velkan.__version__}; {args.reps} replicates.\n",
           "| intervals | coverage (target >= 0.93) |", "|---|---|",
           f"| Vp (smoothing parameters taken as known) | {col['vp'].mean():.3f} |",
           f"| the expansion Vp + J V_rho J' + V'' (what the term tests use) | {col['vc'].mean():.3f} |",
           f"| the expansion, fits with edf of s(0) below 1.5 ({flat.sum()}) | {col['vc'][flat].mean():.3f} |",
           f"| the expansion, the other fits ({(~flat).sum()}) | {col['vc'][~flat].mean():.3f} |",
           f"| the expansion plus the squared move to the fit where the criterion is 0.5 higher, toward less smoothing | "
           f"{col['secant0.5'].mean():.3f} |",
           f"| the same, 2 higher | {col['secant2.0'].mean():.3f} |",
           f"| integrated over rho0, prior flat in rho0, mixture mean | {col['rho_mean'].mean():.3f} |",
           f"| integrated over rho0, prior flat in edf, mixture mean | {col['edf_mean'].mean():.3f} |",
           f"| integrated over rho0, prior flat in edf, about the REML fit | {col['edf_fit'].mean():.3f} |",
           f"| velkan's intervals (each rho integrated out on the working model, prior flat in edf) | "
           f"{col['velkan'].mean():.3f} |",
           "",
           f"edf of s(0) at the optimum: median {np.median(col['edf']):.2f}, below 1.5 in {flat.mean():.0%}.",
           f"Criterion at edf 4 minus its minimum (log-likelihood units): median {np.median(gap):.2f}, "
           f"quartiles {np.percentile(gap, 25):.2f}-{np.percentile(gap, 75):.2f}; below 0.5 in "
           f"{np.mean(gap < 0.5):.0%}, below 1 in {np.mean(gap < 1):.0%}, below 2 in {np.mean(gap < 2):.0%}.", ""]
    text = "\n".join(out)
    print(text)
    path = Path(__file__).parent / "results" / "weak_binary.md"
    path.write_text("# Weak binary signal: intervals and the criterion's shape\n\n" + text)


if __name__ == "__main__":
    main()
