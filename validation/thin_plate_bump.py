"""Why the thin-plate smooth of 30 functions trails te 7 x 7 on the terms study's radial
bump at (0.5, 0.5): held-out RMSE against the truth for the thin-plate smooth built from
more or fewer points and with more functions, and each basis's approximation error (the
fit of the noise-free bump with lambda held near zero).

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/thin_plate_bump.py   # ~6 minutes

Part 1 (100 simulations): tp k = 30 from 1,000 points (the default sample), 2,000 (every
row) and 300; tp k = 40 and 49; te 5, 7, 10. Part 2 (60 simulations): tp k = 20-35 and
te 6-8, with the approximation error of each over the first 10.
"""

from __future__ import annotations

import sys

import numpy as np

import velkan._design as design
from velkan import GAM, s, te

TP = "tp"


def bump(X: np.ndarray) -> np.ndarray:
    return np.exp(-((X[:, 0] - 0.5) ** 2 + (X[:, 1] - 0.5) ** 2) / 0.05)


def rmse(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.sqrt(np.mean((a - b) ** 2)))


def report(errors: dict, edf: dict, base: str, extra: dict | None = None) -> None:
    ref = np.array(errors[base])
    for name, e in errors.items():
        r = np.array(e) / ref
        line = (f"{name:12s} RMSE {np.mean(e):.5f}  / {base} {r.mean():.4f} +- {r.std(ddof=1) / np.sqrt(len(r)):.4f}"
                f"  edf {np.mean(edf[name]):.1f}")
        if extra:
            line += f"  approximation error {np.mean(extra[name]):.5f}"
        print(line, flush=True)


def points_and_size(sims: int) -> None:
    rng = np.random.default_rng(3)
    variants = {"tp30 N1000": (lambda: s(0, 1, bs=TP, k=30), 1000), "tp30 N2000": (lambda: s(0, 1, bs=TP, k=30), 2000),
                "tp30 N300": (lambda: s(0, 1, bs=TP, k=30), 300), "tp40 N1000": (lambda: s(0, 1, bs=TP, k=40), 1000),
                "tp49 N1000": (lambda: s(0, 1, bs=TP, k=49), 1000)}
    variants.update({f"te{k}": (lambda k=k: te(0, 1, k=k), 1000) for k in (5, 7, 10)})
    errors = {k: [] for k in variants}
    edf = {k: [] for k in variants}
    default_points = design.THIN_PLATE_POINTS
    try:
        for _ in range(sims):
            X = rng.uniform(size=(2000, 2))
            y = bump(X) + 0.2 * rng.normal(size=2000)
            new = rng.uniform(size=(5000, 2))
            for name, (term, points) in variants.items():
                design.THIN_PLATE_POINTS = points
                gam = GAM(term()).fit(X, y)
                errors[name].append(rmse(gam.predict(new), bump(new)))
                edf[name].append(gam.edf_)
    finally:
        design.THIN_PLATE_POINTS = default_points
    report(errors, edf, "te7")


def approximation(sims: int) -> None:
    rng = np.random.default_rng(5)
    variants = {f"tp{k}": (lambda k=k, lam=None: s(0, 1, bs=TP, k=k, lam=lam)) for k in (20, 25, 30, 35)}
    variants.update({f"te{k}": (lambda k=k, lam=None: te(0, 1, k=k, lam=None if lam is None else (lam, lam)))
                     for k in (6, 7, 8)})
    errors = {k: [] for k in variants}
    edf = {k: [] for k in variants}
    approx = {k: [] for k in variants}
    for i in range(sims):
        X = rng.uniform(size=(2000, 2))
        f = bump(X)
        y = f + 0.2 * rng.normal(size=2000)
        new = rng.uniform(size=(5000, 2))
        for name, term in variants.items():
            gam = GAM(term()).fit(X, y)
            errors[name].append(rmse(gam.predict(new), bump(new)))
            edf[name].append(gam.edf_)
            if i < 10:
                approx[name].append(rmse(GAM(term(lam=1e-9)).fit(X, f).predict(new), bump(new)))
    report(errors, edf, "te7", approx)


if __name__ == "__main__":
    quick = "--quick" in sys.argv
    points_and_size(10 if quick else 100)
    approximation(6 if quick else 60)
