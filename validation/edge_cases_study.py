"""Two edge cases where a fit can mislead without a word: small binary data that the model
separates (in all or part of the rows), and predictions far beyond a covariate's training
range. pyGAM is run on the same data sets where installed.

    python validation/edge_cases_study.py              # about a minute
    python validation/edge_cases_study.py --no-peers   # velkan only

Writes the tables to validation/results/edge_cases.md (and prints them).

Separation. 32 binary rows: x1, x2 uniform on [-2, 2], a factor g of three levels, logit
2.5 x1 + sin(2 x2) + 0.8 [g = 1]; the model s(x1) + s(x2) + f(g). 40 data sets; each fit is
scored by the log-loss of 2000 new rows from the same model (probabilities clipped to
[1e-15, 1 - 1e-15], as scikit-learn's log_loss does).

Extrapolation. 300 rows of a skewed covariate x (log-normal, sigma 0.6) and
y = 1000 log(1 + x) + 150 sin(3 x) + N(0, 50^2); the model s(x). New rows at 1.2, 1.5 and
1.8 times the training maximum are predicted with extrapolate="linear" and "constant"; the
table gives the median absolute error against the truth over 40 data sets.
"""

from __future__ import annotations

import argparse
import os
import platform
import warnings
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, f, s  # noqa: E402

REPLICATES = 40
FACTORS = (1.2, 1.5, 1.8)


def separable(rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
    x1, x2, g = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n), rng.integers(0, 3, n)
    eta = 2.5 * x1 + np.sin(2 * x2) + 0.8 * (g == 1)
    return np.column_stack([x1, x2, g]), (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)


def log_loss(p: np.ndarray, y: np.ndarray) -> float:
    p = np.clip(p, 1e-15, 1 - 1e-15)
    return float(-np.mean(y * np.log(p) + (1 - y) * np.log(1 - p)))


def separation(peers: bool) -> list[str]:
    scores: dict[str, list[float]] = {"velkan": [], "pyGAM": []}
    flagged = []
    for seed in range(REPLICATES):
        X, y = separable(np.random.default_rng(seed), 32)
        Xt, yt = separable(np.random.default_rng(1000 + seed), 2000)
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            gam = GAM(s(0) + s(1) + f(2), family="binomial").fit(X, y)
            scores["velkan"].append(log_loss(gam.predict(Xt), yt))
        flagged.append(any("refitted with a ridge" in str(w.message) for w in seen))
        if peers:
            from pygam import LogisticGAM
            from pygam import f as pf
            from pygam import s as ps
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                model = LogisticGAM(ps(0) + ps(1) + pf(2)).fit(X, y)
                scores["pyGAM"].append(log_loss(model.predict_proba(Xt), yt))
    rows = ["| library | data sets | mean log-loss, separated sets | mean log-loss, all sets | largest |",
            "|---|---|---|---|---|"]
    mask = np.array(flagged)
    for name, values in scores.items():
        if values:
            v = np.array(values)
            rows.append(f"| {name} | {len(v)} | {v[mask].mean():.3f} ({mask.sum()}) | {v.mean():.3f} | {v.max():.3f} |")
    return rows


def extrapolation() -> list[str]:
    def truth(x: np.ndarray) -> np.ndarray:
        return 1000 * np.log1p(x) + 150 * np.sin(3 * x)

    errors = {mode: {k: [] for k in FACTORS} for mode in ("linear", "constant")}
    truths: dict[float, list[float]] = {k: [] for k in FACTORS}
    warned = 0
    for seed in range(REPLICATES):
        rng = np.random.default_rng(seed)
        x = rng.lognormal(0.0, 0.6, 300)
        y = truth(x) + rng.normal(scale=50.0, size=300)
        new = np.array(FACTORS) * x.max()
        for k, v in zip(FACTORS, truth(new)):
            truths[k].append(v)
        for mode in errors:
            gam = GAM(s(0, k=20), extrapolate=mode).fit(x[:, None], y)
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                pred = gam.predict(new[:, None])
            warned += any(issubclass(w.category, velkan.ExtrapolationWarning) for w in seen)
            for k, p, t in zip(FACTORS, pred, truth(new)):
                errors[mode][k].append(abs(p - t))
    rows = ["| extrapolate | " + " | ".join(f"{k} x max" for k in FACTORS) + " |",
            "|---|" + "---|" * len(FACTORS)]
    rows.append("| (the truth there, median) | " + " | ".join(f"{np.median(truths[k]):.0f}" for k in FACTORS) + " |")
    for mode, by in errors.items():
        rows.append(f"| {mode} | " + " | ".join(f"{np.median(by[k]):.0f}" for k in FACTORS) + " |")
    rows.append("")
    rows.append(f"Predictions that warned: {warned} of {2 * REPLICATES}.")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-peers", action="store_true")
    args = parser.parse_args()
    peers = not args.no_peers
    if peers:
        try:
            import pygam  # noqa: F401
        except ImportError:
            peers = False
    lines = [f"Machine: {platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__}, "
             f"velkan {velkan.__version__}" + (f", pyGAM {__import__('pygam').__version__}" if peers else ""),
             "", "**Held-out log-loss on 32 separable binary rows** (2000 new rows each)", ""]
    lines += separation(peers)
    lines += ["", "**Median absolute error far beyond the training range**", ""]
    lines += extrapolation()
    text = "\n".join(lines) + "\n"
    out = Path(__file__).parent / "results" / "edge_cases.md"
    out.parent.mkdir(exist_ok=True)
    out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
