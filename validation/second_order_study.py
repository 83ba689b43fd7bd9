"""Intervals for estimated smoothing parameters: the expansion about the optimum to first
and second order, and the integration over them that velkan's intervals now use; does
each lift the weak binary signal's coverage, and what does it do to the other cells?

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/second_order_study.py   # a few minutes; --reps N

Writes validation/results/second_order.md (and prints it).

The expansion (what the term tests use): Vp + J V_rho J' + V'' (J = d beta / d rho, V_rho
the inverse of the REML score's Hessian). The first-order term linearises the posterior
mean in rho but keeps the posterior covariance at rho^. Writing beta = beta^(rho) +
R(rho)' z (R'R = Vp(rho), R upper triangular, z standard normal) and linearising R in rho
as well adds

    V'' = sum_jk V_rho[j, k] (dR / d rho_j)' (dR / d rho_k),

with dVp / d rho_j = -Vp lambda_j S_j Vp / phi (the weights held at the fit) and the
derivative of the Cholesky factor L = R' of Vp: dL = L Phi(L^-1 dVp L^-T), Phi the lower
triangle with its diagonal halved. Where the score is flat in rho (V_rho large) and the
term is nearly unpenalized in some directions, the posterior covariance changes with rho
even where the posterior mean no longer does (J ~ 0 at a straight line), which is the case
of the weak binary signal (`weak_binary_study.py`).

velkan's Vc instead integrates each estimated rho over a grid on the working model of the
fit's last pass, under a prior flat in the term's edf (python/velkan/_mixture.py).

The study recomputes V'' in NumPy from each fit's products (`second_order`, independent of
the engine's code) and reports the coverage of the 95 % intervals of the linear predictor
with the expansion to first order (V'' taken off), with V'', and with velkan's Vc, on the
cells of `families_study.py` (same designs and seeds, REML) plus its weak binary case.
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
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import families_study as fs  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402
from velkan._inference import _rho_covariance, covariances  # noqa: E402

Z95 = 1.959963984540054


def second_order(fitted) -> np.ndarray:
    """V'' of a fit, in the parameterisation of its Vp."""
    vp = covariances(fitted).vp
    p = vp.shape[0]
    lam = np.exp(fitted.rho)
    scale = max(float(fitted.scale), 1e-300)
    v_rho = _rho_covariance(fitted)
    L = np.linalg.cholesky(0.5 * (vp + vp.T))
    L_inv = np.linalg.inv(L)
    d_r = []
    for j, (offset, block) in enumerate(fitted.engine_layout().constrained_penalties()):
        q = block.shape[0]
        s_j = np.zeros((p, p))
        s_j[offset:offset + q, offset:offset + q] = lam[j] * block
        m = L_inv @ (-vp @ s_j @ vp / scale) @ L_inv.T
        phi = np.tril(m)
        phi[np.diag_indices(p)] *= 0.5
        d_r.append((L @ phi).T)
    out = np.zeros((p, p))
    for j in range(len(d_r)):
        for k in range(len(d_r)):
            if v_rho[j, k] != 0.0:
                out += v_rho[j, k] * d_r[j].T @ d_r[k]
    return out


def coverages(gam, X, eta) -> list[float]:
    """Coverage of the 95 % intervals of the linear predictor at the training rows: the
    expansion about the optimum to first order (its V'' taken off), the expansion with V''
    (what the term tests use), and velkan's Vc (the smoothing parameters integrated out)."""
    design = gam.model_matrix(X)
    fit = gam.predict(X, type="link")
    cov = covariances(gam._fitted)
    out = []
    for v in (cov.vc_tests - second_order(gam._fitted), cov.vc_tests, cov.vc):
        se = np.sqrt(np.einsum("ij,jk,ik->i", design, v, design))
        out.append(float(np.mean(np.abs(fit - eta) <= Z95 * se)))
    return out


def cell(X, y, eta, family):
    terms = s(0, k=fs.K) + s(1, k=fs.K) + s(2, k=fs.K)
    return coverages(GAM(terms, family=fs.family_object(family), method="REML").fit(X, y), X, eta)


def weak(rng, n=400):
    X = rng.uniform(size=(n, 2))
    eta = 0.5 * np.sin(2 * np.pi * X[:, 0])
    y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    return coverages(GAM(s(0) + s(1), family="binomial").fit(X, y), X, eta)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=200)
    args = ap.parse_args()
    t0 = time.perf_counter()
    out = ["## Intervals with the second-order correction: a study\n",
           f"Machine: {platform.machine()}, {os.cpu_count()} cores, {fs.cpu_name()}, Python "
           f"{platform.python_version()}, NumPy {np.__version__}, velkan {velkan.__version__}; "
           "REML; the designs and seeds of families_study.py.\n",
           "| case | n | replicates | expansion, first order | expansion with V'' | velkan's intervals (integrated) |",
           "|---|---|---|---|---|---|"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        v, failed = fs.run("weak", args.reps, weak)
        out.append(f"| weak binary signal | 400 | {len(v)} | {v[:, 0].mean():.3f} | {v[:, 1].mean():.3f} | "
                   f"{v[:, 2].mean():.3f} |")
        print(out[-1], flush=True)
        for family in ("gaussian", "poisson", "binomial", "gamma", "negative_binomial", "tweedie",
                       "inverse_gaussian"):
            for n in (500, 5000):
                reps = max(args.reps // (4 if n == 5000 and family == "tweedie" else 1), 10)
                v, failed = fs.run(f"cov-{family}-{n}", reps, lambda g: cell(*fs.simulate(g, n, family), family))
                out.append(f"| {family} | {n} | {len(v)}{f' ({failed} failed)' if failed else ''} | "
                           f"{v[:, 0].mean():.3f} | {v[:, 1].mean():.3f} | {v[:, 2].mean():.3f} |")
                print(out[-1], flush=True)
    out.append(f"\nRun of {time.strftime('%Y-%m-%d')}, {time.perf_counter() - t0:.0f} s.\n")
    text = "\n".join(out)
    path = Path(__file__).resolve().parent / "results" / "second_order.md"
    path.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
