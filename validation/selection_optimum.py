"""Does term selection stop short of the criterion's optimum? The selection case of
terms_study.py (y = sin(2 pi x0) + 2 (x1 - 1/2)^2 + noise, x2 pure noise, n = 1,000,
`s(0) + s(1) + s(2)` with select_terms=True), refitted by a dense NumPy REML of the same
design and penalties minimised by scipy from four starts (the fit's own smoothing
parameters, all at 1, all at e^10, and the noise term's two penalties at e^20). It prints,
per simulation, the noise term's edf and both criteria, and the share of fits at the
global optimum.

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/selection_optimum.py [sims]
"""

from __future__ import annotations

import sys
import warnings

import numpy as np
from scipy.optimize import minimize

from velkan import GAM, s


def dense_reml(rho, X, y, S, logdets, ranks, null_dim):
    """-log restricted likelihood of a gaussian additive model, scale profiled out, up to a
    constant. Each penalty's log pseudo-determinant enters separately (the penalties of a
    term have orthogonal ranges), which keeps it exact over any range of lambdas."""
    lam = np.exp(rho)
    S_lam = sum(l * Sj for l, Sj in zip(lam, S))
    A = X.T @ X + S_lam
    try:
        L = np.linalg.cholesky(A)
    except np.linalg.LinAlgError:  # a trial point where rounding loses definiteness
        return 1e300
    beta = np.linalg.solve(A, X.T @ y)
    r = y - X @ beta
    dof = y.size - null_dim
    phi = (r @ r + beta @ S_lam @ beta) / dof
    log_s = float(np.sum(ranks * rho) + np.sum(logdets))
    return 0.5 * dof * np.log(2 * np.pi * phi) + 0.5 * dof + np.sum(np.log(np.diag(L))) - 0.5 * log_s


def one(X, y):
    gam = GAM(s(0) + s(1) + s(2), select_terms=True).fit(X, y)
    layout = gam._fitted.layout
    M = gam.model_matrix(X)
    p = M.shape[1]
    S, logdets, ranks = [], [], []
    for offset, block in layout.constrained_penalties():
        full = np.zeros((p, p))
        full[offset:offset + block.shape[0], offset:offset + block.shape[0]] = block
        e = np.linalg.eigvalsh(block)
        e = e[e > 1e-9 * e.max()]
        S.append(full), logdets.append(np.sum(np.log(e))), ranks.append(e.size)
    ranks = np.asarray(ranks, float)
    crit = lambda r: dense_reml(r, M, y, S, logdets, ranks, layout.null_space_dimension)
    rho = np.log(np.asarray(gam.lambda_, float))
    starts = [rho, np.zeros_like(rho), np.full_like(rho, 10.0), np.r_[rho[:-2], 20.0, 20.0]]
    best = min((minimize(crit, x0, method="L-BFGS-B", bounds=[(-10, 30)] * rho.size) for x0 in starts),
               key=lambda r: r.fun)
    return gam.summary().terms[2].edf, crit(rho), min(best.fun, crit(rho))


def main() -> None:
    sims = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    rng = np.random.default_rng(6)  # the selection case's seed in terms_study.py
    truth = lambda X: np.sin(2 * np.pi * X[:, 0]) + 2 * (X[:, 1] - 0.5) ** 2
    at_optimum = small = 0
    print("| sim | noise edf | criterion at the fit | best of the dense search |")
    print("|---|---|---|---|")
    for i in range(sims):
        X = rng.uniform(size=(1000, 3))
        y = truth(X) + 0.5 * rng.normal(size=1000)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            edf, at_fit, best = one(X, y)
        at_optimum += at_fit <= best + 1e-2
        small += edf < 0.1
        print(f"| {i} | {edf:.3f} | {at_fit:.4f} | {best:.4f} |")
    print(f"\nfits at the global optimum (within 0.01): {at_optimum} / {sims}; noise edf < 0.1: {small} / {sims}")


if __name__ == "__main__":
    main()
