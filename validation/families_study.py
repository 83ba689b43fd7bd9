"""Simulation study of the response families and of Laplace-approximate REML against
performance iteration (PQL): interval coverage, null-term test size, the estimated
negative binomial theta and Tweedie power, and held-out fit against peers.

    python validation/families_study.py                  # the full study (about 1.5 hours on 2 cores)
    python validation/families_study.py --quick          # a few replicates
    python validation/families_study.py --only coverage  # one part: coverage, weak, tests, theta, power

Writes its tables to validation/results/families.md (and prints them).

Designs. Three covariates uniform on [0, 1]; on the link scale f1(x1) + f2(x2) + f3(x3)
with f1 = sin(2 pi x), f2 = exp(2 x) / e^2, f3 = 0.4 (10 x)^2 e^(-10 x) (each centred),
plus a constant; models s(0) + s(1) + s(2), cubic B-splines of 10 functions. Responses:
gaussian sd 0.5; poisson and negative binomial (theta 2) at exp(0.5 + f); gamma (shape 3)
and inverse gaussian (scale 0.25) at exp(f); Tweedie (p 1.5, scale 1.5) at exp(0.3 + f);
binomial and quasi-binomial Bernoulli at logit(-0.3 + f); quasi-poisson at exp(0.5 + f).

- Coverage: the share of training points whose true mean lies inside the 95 % interval of
  the mean (`predict(return_std=True)`, link scale), averaged over replicates.
- Weak binary signal: two covariates, eta = 0.5 sin(2 pi x1), n = 400, Bernoulli; the
  coverage and the edf of s(0) (the truth needs about 4).
- Null test: f3 = 0; the rejection rate of "s(2) is zero" at 5 % (n = 500).
- theta: n = 5000, theta = 2, two smooths; the median estimate and the held-out
  log-likelihood of the negative binomial fit against a poisson fit of the same data.
- power: n = 20000, p = 1.5, scale 1.5; the median estimate, and the held-out Tweedie
  deviance (at p = 1.5) against glum's GeneralizedLinearRegressor(family="tweedie") on the
  same B-spline features with its penalty chosen by 5-fold cross-validation, when glum is
  installed.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import sys
import time
import warnings
import zlib
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402

Z95 = 1.959963984540054
K = 10
SHIFT = {"gaussian": 0.0, "poisson": 0.5, "binomial": -0.3, "gamma": 0.0, "quasipoisson": 0.5,
         "quasibinomial": -0.3, "negative_binomial": 0.5, "tweedie": 0.3, "inverse_gaussian": 0.0}


def bump(x):
    return 0.4 * (10 * x) ** 2 * np.exp(-10 * x)


def tweedie_draw(rng, mu, phi, p):
    lam, a, c = mu ** (2 - p) / (phi * (2 - p)), (2 - p) / (p - 1), phi * (p - 1) * mu ** (p - 1)
    n = rng.poisson(lam)
    return np.where(n > 0, rng.gamma(np.maximum(n, 1) * a, c), 0.0)


def draw(rng, family, eta):
    """Responses of `family` at linear predictor eta (the family's default link)."""
    if family == "gaussian":
        return eta + 0.5 * rng.normal(size=eta.size)
    if family in ("binomial", "quasibinomial"):
        return rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    mu = np.exp(eta)
    if family in ("poisson", "quasipoisson"):
        return rng.poisson(mu).astype(float)
    if family == "negative_binomial":
        return rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)
    if family == "gamma":
        return rng.gamma(3.0, mu / 3.0)
    if family == "tweedie":
        return tweedie_draw(rng, mu, 1.5, 1.5)
    if family == "inverse_gaussian":
        return rng.wald(mu, 4.0)
    raise ValueError(family)


def simulate(rng, n, family, third="bump"):
    X = rng.uniform(size=(n, 3))
    parts = [np.sin(2 * np.pi * X[:, 0]), np.exp(2 * X[:, 1]) / np.e ** 2,
             bump(X[:, 2]) if third == "bump" else np.zeros(n)]
    eta = SHIFT[family] + sum(p - p.mean() for p in parts)
    return X, draw(rng, family, eta), eta


def family_object(family):
    """The inverse gaussian at the log link (its canonical link, 1/mu^2, is not the scale the
    truth is written on); the others at their default links."""
    return velkan.InverseGaussian(link="log") if family == "inverse_gaussian" else family


def run(label, reps, fn):
    """fn(rng) over replicates (the same data for every method); failures are counted."""
    values, failed = [], 0
    rng = np.random.default_rng(zlib.crc32(label.encode()))
    for _ in range(reps):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                values.append(fn(rng))
        except Exception:  # noqa: BLE001  a failing fit is counted, not fatal
            failed += 1
    return np.array(values), failed


def cell(values, failed):
    return f"{np.mean(values):.3f} ({len(values)}{f', {failed} failed' if failed else ''})"


# ----------------------------------------------------------------------------- studies
def coverage(X, y, eta, family, method):
    gam = GAM(s(0, k=K) + s(1, k=K) + s(2, k=K), family=family_object(family), method=method).fit(X, y)
    fit, se = gam.predict(X, type="link", return_std=True)
    return np.mean(np.abs(fit - eta) <= Z95 * se)


def coverage_study(reps, out):
    out += ["### Coverage of 95 % intervals of the mean (target 0.93-0.97)\n",
            "| family | n | REML (Laplace) | PQL |", "|---|---|---|---|"]
    for family in ("gaussian", "poisson", "binomial", "gamma", "negative_binomial", "tweedie", "inverse_gaussian"):
        for n in (500, 5000):
            r = max(reps // (4 if n == 5000 and family == "tweedie" else 1), 10)
            cells = [cell(*run(f"cov-{family}-{n}", r, lambda g: coverage(*simulate(g, n, family), family, m)))
                     for m in ("REML", "PQL")]
            out.append(f"| {family} | {n} | " + " | ".join(cells) + " |")
            print(out[-1], flush=True)
    out.append("")


def weak_binary(rng, method, n=400):
    X = rng.uniform(size=(n, 2))
    eta = 0.5 * np.sin(2 * np.pi * X[:, 0])
    y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    gam = GAM(s(0) + s(1), family="binomial", method=method).fit(X, y)
    fit, se = gam.predict(X, type="link", return_std=True)
    from velkan._inference import term_edf
    return np.mean(np.abs(fit - eta) <= Z95 * se), term_edf(gam._fitted)[1]


def pygam_weak(rng, n=400):
    import pygam
    X = rng.uniform(size=(n, 2))
    eta = 0.5 * np.sin(2 * np.pi * X[:, 0])
    y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    g = pygam.LogisticGAM(pygam.s(0) + pygam.s(1)).gridsearch(X, y, progress=False)
    ci = g.confidence_intervals(X, width=0.95)
    mu = 1 / (1 + np.exp(-eta))
    return np.mean((mu >= ci[:, 0]) & (mu <= ci[:, 1])), g.statistics_["edof_per_coef"][:20].sum()


def weak_study(reps, peers, out):
    out += ["### Weak binary signal (n = 400, eta = 0.5 sin(2 pi x1); target coverage >= 0.93)\n",
            "| method | coverage | median edf of s(0) | edf of s(0) below 1.5 |", "|---|---|---|---|"]
    for method in ("REML", "PQL", "GCV"):
        v, f = run("weak", reps, lambda g: weak_binary(g, method))
        out.append(f"| velkan {method} | {cell(v[:, 0], f)} | {np.median(v[:, 1]):.2f} | {np.mean(v[:, 1] < 1.5):.0%} |")
        print(out[-1], flush=True)
    if peers:
        v, f = run("weak", reps, pygam_weak)
        out.append(f"| pyGAM LogisticGAM gridsearch | {cell(v[:, 0], f)} | | |" if len(v) else f"| pyGAM | failed ({f}) | | |")
        print(out[-1], flush=True)
    out.append("")


def null_p(X, y, family, method):
    gam = GAM(s(0, k=K) + s(1, k=K) + s(2, k=K), family=family_object(family), method=method).fit(X, y)
    return gam.summary().terms[2].p_value


def test_study(reps, out):
    out += ["### Null-term test size: rejection rate at 5 % of \"s(2) is zero\" when it is (target 0.03-0.07)\n",
            "| family | REML (Laplace) | PQL |", "|---|---|---|"]
    for family in velkan.families():
        r = max(reps // (3 if family == "tweedie" else 1), 10)
        cells = []
        for method in ("REML", "PQL"):
            v, f = run(f"null-{family}", r, lambda g: null_p(*simulate(g, 500, family, "null")[:2], family, method))
            cells.append(f"{np.mean(v < 0.05):.3f} ({len(v)}{f', {f} failed' if f else ''})")
        out.append(f"| {family} | " + " | ".join(cells) + " |")
        print(out[-1], flush=True)
    out.append("")


def two_smooths(rng, n):
    X = rng.uniform(size=(n, 2))
    return X, np.sin(2 * np.pi * X[:, 0]) + X[:, 1] - 0.2


def theta_replicate(rng, n=5000):
    X, eta = two_smooths(rng, 2 * n)
    mu = np.exp(eta)
    y = rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)
    train, test = slice(0, n), slice(n, 2 * n)
    nb = GAM(s(0) + s(1), family="negative_binomial").fit(X[train], y[train])
    po = GAM(s(0) + s(1), family="poisson").fit(X[train], y[train])
    from scipy import stats
    theta = nb._fitted.family_parameters["theta"]
    m_nb, m_po = nb.predict(X[test]), po.predict(X[test])
    ll_nb = np.mean(stats.nbinom.logpmf(y[test], theta, theta / (theta + m_nb)))
    ll_po = np.mean(stats.poisson.logpmf(y[test], m_po))
    lo, hi = nb._fitted.parameter_intervals["theta"]
    return theta, ll_nb, ll_po, lo <= 2.0 <= hi


def theta_study(reps, out):
    v, f = run("theta", reps, theta_replicate)
    out += ["### Negative binomial theta (n = 5000, theta = 2, two smooths)\n",
            f"- {len(v)} replicates{f' ({f} failed)' if f else ''}: median estimate {np.median(v[:, 0]):.3f} "
            f"(relative error {abs(np.median(v[:, 0]) / 2 - 1):.1%}; target within 10 %), quartiles "
            f"{np.quantile(v[:, 0], 0.25):.3f}-{np.quantile(v[:, 0], 0.75):.3f}; the 95 % interval covered 2 in "
            f"{np.mean(v[:, 3]):.0%} of replicates.",
            f"- Held-out log-likelihood per row (n = 5000 fresh rows): negative binomial GAM {np.mean(v[:, 1]):.4f}, "
            f"poisson GAM {np.mean(v[:, 2]):.4f}; the negative binomial fit is better in {np.mean(v[:, 1] > v[:, 2]):.0%} "
            "of replicates.", ""]
    print("\n".join(out[-3:]), flush=True)


def tweedie_deviance(y, mu, p=1.5):
    return np.mean(2 * (np.where(y > 0, y ** (2 - p), 0) / ((1 - p) * (2 - p)) - y * mu ** (1 - p) / (1 - p)
                        + mu ** (2 - p) / (2 - p)))


def glum_tweedie(X, y, Xt):
    """glum's Tweedie GLM (p = 1.5) on the same cubic B-spline features (10 per covariate),
    its ridge penalty chosen by 5-fold cross-validation over a path."""
    from glum import GeneralizedLinearRegressorCV
    from sklearn.preprocessing import SplineTransformer
    features = SplineTransformer(n_knots=8, degree=3).fit(X)
    model = GeneralizedLinearRegressorCV(family="tweedie", link="log", l1_ratio=0.0, cv=5,
                                         n_alphas=30).fit(features.transform(X), y)
    return model.predict(features.transform(Xt))


def power_replicate(rng, peers, n=20000):
    X, eta = two_smooths(rng, 2 * n)
    y = tweedie_draw(rng, np.exp(eta), 1.5, 1.5)
    train, test = slice(0, n), slice(n, 2 * n)
    gam = GAM(s(0) + s(1), family="tweedie").fit(X[train], y[train])
    p = gam._fitted.family_parameters["power"]
    dev = tweedie_deviance(y[test], gam.predict(X[test]))
    peer = tweedie_deviance(y[test], glum_tweedie(X[train], y[train], X[test])) if peers else math.nan
    return p, dev, peer, gam.scale_


def power_study(reps, peers, out):
    v, f = run("power", reps, lambda g: power_replicate(g, peers))
    out += ["### Tweedie power (n = 20000, p = 1.5, scale 1.5, two smooths)\n",
            f"- {len(v)} replicates{f' ({f} failed)' if f else ''}: median estimate {np.median(v[:, 0]):.4f} "
            f"(error {abs(np.median(v[:, 0]) - 1.5):.4f}; target within 0.05), quartiles "
            f"{np.quantile(v[:, 0], 0.25):.4f}-{np.quantile(v[:, 0], 0.75):.4f}; median scale {np.median(v[:, 3]):.3f}.",
            f"- Held-out Tweedie deviance (p = 1.5) per row: velkan {np.mean(v[:, 1]):.5f}"
            + (f", glum {np.mean(v[:, 2]):.5f}; velkan at or below glum in {np.mean(v[:, 1] <= v[:, 2]):.0%} of replicates."
               if peers else " (glum not installed)."), ""]
    print("\n".join(out[-3:]), flush=True)


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--only", choices=["coverage", "weak", "tests", "theta", "power"])
    args = ap.parse_args()
    peers = not args.no_peers
    q = args.quick
    versions = f"NumPy {np.__version__}, velkan {velkan.__version__}"
    for name in ("pygam", "glum", "statsmodels"):
        try:
            versions += f", {name} {__import__(name).__version__}"
        except ImportError:
            if name != "statsmodels":
                print(f"{name} is missing: its column is left out", file=sys.stderr)
                peers = False
    out = ["## Families and Laplace-approximate REML: simulation study\n",
           f"Machine: {platform.machine()}, {os.cpu_count()} cores, {cpu_name()}, Python {platform.python_version()}, "
           f"{versions}; every library on one thread.\n"]
    t0 = time.perf_counter()
    if args.only in (None, "weak"):
        weak_study(20 if q else 200, peers, out)
    if args.only in (None, "coverage"):
        coverage_study(10 if q else 200, out)
    if args.only in (None, "tests"):
        test_study(20 if q else 400, out)
    if args.only in (None, "theta"):
        theta_study(4 if q else 40, out)
    if args.only in (None, "power"):
        power_study(3 if q else 20, peers, out)
    out.append(f"Total time {time.perf_counter() - t0:.0f} s.")
    name = "families" + ("_quick" if q else "") + (f"_{args.only}" if args.only else "")
    path = Path(__file__).parent / "results" / f"{name}.md"
    path.parent.mkdir(exist_ok=True)
    path.write_text("\n".join(out) + "\n")
    print(f"written to {path}")


if __name__ == "__main__":
    main()
