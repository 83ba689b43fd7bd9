"""Simulation study of velkan's inference: interval coverage, term tests under the null and
under an effect, the edf of a linear truth, and the cost of standard errors for many rows.
pyGAM and statsmodels are run on the same simulated data sets where installed.

    python validation/inference_study.py                 # the full study (about 25 minutes)
    python validation/inference_study.py --quick         # a few replicates, to try it out
    python validation/inference_study.py --no-peers      # velkan only

Writes the tables to validation/results/inference.md (and prints them).

Designs. Three covariates uniform on [0, 1]; the truth on the link scale is
f1(x1) + f2(x2) + f3(x3) with f1 = sin(2 pi x), f2 = exp(2 x) / e^2, f3 a bump
0.4 (10 x)^2 e^(-10 x), each centred over the sample; a constant is added per family
(gaussian 0, sd 0.5 noise; poisson 0.5; binomial -0.3). Every model is
s(0) + s(1) + s(2) (cubic B-splines, 10 basis functions).

- Coverage: across-the-function coverage of 95 % intervals of the mean: the share of the
  training points whose true value lies inside, averaged over replicates.
- Null test: x3 carries no effect (f3 = 0); the rejection rate of "s(2) is zero" at 5 %.
  Power: f3 replaced by 0.1 sin(2 pi x3) (gaussian) or 0.15 sin(2 pi x3) (poisson).
- Linear truth: f3(x) = x - 1/2; the edf of s(2).
- Timing: standard errors of 10^6 new rows at p = 31 (intercept and three smooths of 10),
  against one X'WX of the same size with NumPy, both on one thread.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
import warnings
import zlib
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # every library on one thread
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, s  # noqa: E402
from velkan import _engine  # noqa: E402

Z95 = 1.959963984540054
SHIFT = {"gaussian": 0.0, "poisson": 0.5, "binomial": -0.3}
K = 10


def bump(x):
    return 0.4 * (10 * x) ** 2 * np.exp(-10 * x)


def simulate(rng, n, family, third="bump"):
    X = rng.uniform(size=(n, 3))
    parts = [np.sin(2 * np.pi * X[:, 0]), np.exp(2 * X[:, 1]) / np.e ** 2]
    if third == "bump":
        parts.append(bump(X[:, 2]))
    elif third == "null":
        parts.append(np.zeros(n))
    elif third == "linear":
        parts.append(X[:, 2] - 0.5)
    else:  # weak effect
        parts.append((0.1 if family == "gaussian" else 0.15) * np.sin(2 * np.pi * X[:, 2]))
    eta = SHIFT[family] + sum(p - p.mean() for p in parts)
    if family == "gaussian":
        y = eta + 0.5 * rng.normal(size=n)
    elif family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
    else:
        y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    return X, y, eta


def mean_of(family, eta):
    return eta if family == "gaussian" else (np.exp(eta) if family == "poisson" else 1 / (1 + np.exp(-eta)))


# ----------------------------------------------------------------------------- fitters
def ours(X, y, family):
    gam = GAM(s(0, k=K) + s(1, k=K) + s(2, k=K), family=family, n_jobs=1).fit(X, y)
    return gam


def ours_coverage(X, y, eta, family):
    gam = ours(X, y, family)
    fit, se = gam.predict(X, type="link", return_std=True)
    return np.mean(np.abs(fit - eta) <= Z95 * se)


def ours_tests(X, y, family):
    """p-value of s(2) as summary() reports it (Vc), and with Vp alone, and its edf."""
    gam = ours(X, y, family)
    row = gam.summary().terms[2]
    fitted = gam._fitted
    from velkan._inference import covariances
    cov = covariances(fitted)
    lay = fitted.engine_layout()
    o, q = lay.coefficient_offset(3), lay.coefficient_width(3)
    rdf = fitted.rows - cov.edf.sum() if family == "gaussian" else np.nan
    vp_only = _engine.smooth_term_test(fitted.beta[o:o + q], np.ascontiguousarray(cov.vp[o:o + q, o:o + q]),
                                       np.ascontiguousarray(fitted.xtwx[o:o + q, o:o + q]), row.edf, rdf)[3]
    return row.p_value, vp_only, row.edf


PYGAM = {"gaussian": "LinearGAM", "poisson": "PoissonGAM", "binomial": "LogisticGAM"}


def pygam_fit(X, y, family):
    import pygam
    model = getattr(pygam, PYGAM[family])(pygam.s(0, n_splines=K) + pygam.s(1, n_splines=K) + pygam.s(2, n_splines=K))
    return model.gridsearch(X, y, progress=False)


def pygam_coverage(X, y, eta, family):
    g = pygam_fit(X, y, family)
    ci = g.confidence_intervals(X, width=0.95)
    mu = mean_of(family, eta)
    return np.mean((mu >= ci[:, 0]) & (mu <= ci[:, 1]))


def pygam_p(X, y, family):
    return pygam_fit(X, y, family).statistics_["p_values"][2]


class Statsmodels:
    """GLMGam with B-splines of 10 functions per covariate. Its smoothing-parameter
    selection (select_penweight, AIC) takes 10-20 s per fit here, so it runs once per
    setting, on the first replicate, and that penalty weight is kept for the others."""

    def __init__(self):
        self.alpha = {}

    def _model(self, X, y, family, alpha=None):
        import statsmodels.api as sm
        from statsmodels.gam.api import BSplines, GLMGam
        fam = {"gaussian": sm.families.Gaussian(), "poisson": sm.families.Poisson(),
               "binomial": sm.families.Binomial()}[family]
        smoother = BSplines(X, df=[K] * 3, degree=[3] * 3)
        extra = {} if alpha is None else {"alpha": alpha}
        return GLMGam(y, exog=np.ones((len(y), 1)), smoother=smoother, family=fam, **extra)

    def fit(self, X, y, family, key):
        with warnings.catch_warnings():  # statsmodels turns its own warnings back on
            warnings.simplefilter("ignore")
            return self._fit(X, y, family, key)

    def _fit(self, X, y, family, key):
        if key not in self.alpha:
            m = self._model(X, y, family)
            m.fit()
            m.scale = None  # select_penweight reads it and the model does not set it
            self.alpha[key] = m.select_penweight(criterion="aic")[0]
        return self._model(X, y, family, self.alpha[key]).fit()

    def coverage(self, X, y, eta, family, key):
        r = self.fit(X, y, family, key)
        frame = r.get_prediction(np.ones((len(y), 1)), exog_smooth=X).summary_frame(alpha=0.05)
        mu = mean_of(family, eta)
        return np.mean((mu >= frame["mean_ci_lower"].to_numpy()) & (mu <= frame["mean_ci_upper"].to_numpy()))

    def p(self, X, y, family, key):
        result = self.fit(X, y, family, key)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return result.test_significance(2).pvalue


# ----------------------------------------------------------------------------- studies
def run(label, reps, fn):
    """Mean of fn(rng) over replicates; fits that fail are counted and left out."""
    values, failed = [], 0
    rng = np.random.default_rng(zlib.crc32(label.encode()))  # the same data sets for every library
    t0 = time.perf_counter()
    for _ in range(reps):
        try:
            values.append(fn(rng))
        except Exception:  # a peer's fit that fails is counted, not fatal
            failed += 1
    return np.array(values), failed, time.perf_counter() - t0


def coverage_study(reps, peer_reps, big_peer_reps, peers, out):
    out.append("### Coverage of 95 % intervals of the mean (target 0.92-0.98)\n")
    out.append("| family | n | velkan (reps) | pyGAM (reps) | statsmodels (reps) |")
    out.append("|---|---|---|---|---|")
    sm = Statsmodels()
    for family in ("gaussian", "poisson", "binomial"):
        for n in (500, 5000):
            cells = []
            v, f, _ = run(f"cov-{family}-{n}", reps, lambda r: ours_coverage(*simulate(r, n, family), family))
            cells.append(f"{v.mean():.3f} ({len(v)}{', %d failed' % f if f else ''})")
            for name, fn in (("pygam", pygam_coverage), ("sm", None)):
                if not peers:
                    cells.append("not run")
                    continue
                pr = peer_reps if n == 500 else big_peer_reps
                if name == "pygam":
                    v, f, _ = run(f"cov-{family}-{n}", pr, lambda r: fn(*simulate(r, n, family), family))
                else:
                    v, f, _ = run(f"cov-{family}-{n}", pr,
                                  lambda r: sm.coverage(*simulate(r, n, family), family, (family, n)))
                cells.append(f"{v.mean():.3f} ({len(v)}{', %d failed' % f if f else ''})" if len(v) else f"failed ({f})")
            out.append(f"| {family} | {n} | " + " | ".join(cells) + " |")
            print(out[-1], flush=True)
    out.append("")


def test_study(reps, peer_reps, peers, out):
    out.append("### Tests of s(2) at 5 %: rejection rate under the null (target 0.02-0.08) and power\n")
    out.append("| family | truth of s(2) | velkan (Vc) | velkan, Vp alone | pyGAM | statsmodels | velkan reps / peer reps |")
    out.append("|---|---|---|---|---|---|---|")
    sm = Statsmodels()
    n = 500
    for family in ("gaussian", "poisson"):
        for third in ("null", "weak"):
            v, f, _ = run(f"test-{family}-{third}", reps, lambda r: ours_tests(*simulate(r, n, family, third)[:2], family))
            cells = [f"{np.mean(v[:, 0] < 0.05):.3f}", f"{np.mean(v[:, 1] < 0.05):.3f}"]
            for name in ("pygam", "sm"):
                if not peers:
                    cells.append("not run")
                    continue
                if name == "pygam":
                    pv, pf, _ = run(f"test-{family}-{third}", peer_reps,
                                    lambda r: pygam_p(*simulate(r, n, family, third)[:2], family))
                else:
                    pv, pf, _ = run(f"test-{family}-{third}", peer_reps,
                                    lambda r: sm.p(*simulate(r, n, family, third)[:2], family, (family, third)))
                cells.append(f"{np.mean(pv < 0.05):.3f}" + (f" ({pf} failed)" if pf else ""))
            what = "none (pure noise)" if third == "null" else "weak sine"
            out.append(f"| {family} | {what} | " + " | ".join(cells) + f" | {len(v)} / {peer_reps if peers else 0} |")
            print(out[-1], flush=True)
            if third == "null":
                hist = np.histogram(v[:, 0], bins=10, range=(0, 1))[0]
                out.append(f"| | null p-values of velkan in tenths: {' '.join(map(str, hist))} | | | | | |")
    out.append("")


def edf_study(reps, out):
    out.append("### Effective degrees of freedom\n")
    v, f, _ = run("edf-linear", reps, lambda r: ours_tests(*simulate(r, 500, "gaussian", "linear")[:2], "gaussian")[2])
    out.append(f"- s(2) with a linear truth (gaussian, n = 500, {len(v)} replicates): mean edf {v.mean():.3f}, "
               f"median {np.median(v):.3f}, below 1.5 in {np.mean(v < 1.5):.0%} of replicates, "
               f"95th percentile {np.quantile(v, 0.95):.3f}, largest {v.max():.3f} (target below 1.5).")
    # The upper bound: a wiggly truth and almost no noise pushes every edf up.
    rng = np.random.default_rng(7)
    worst = 0.0
    for _ in range(20):
        X = rng.uniform(size=(2000, 3))
        y = np.sin(12 * X[:, 0]) + np.cos(15 * X[:, 1]) + np.sin(20 * X[:, 2]) + 1e-3 * rng.normal(size=2000)
        gam = ours(X, y, "gaussian")
        from velkan._inference import term_edf
        worst = max(worst, max(term_edf(gam._fitted)[1:]))
    out.append(f"- Largest term edf over 20 fits of very wiggly, nearly noise-free truths: {worst:.4f}; "
               f"the bound is the basis size minus the centring constraint, {K - 1}.")
    out.append("")
    print("\n".join(out[-3:]), flush=True)


def timing_study(out, rows=1_000_000, repeat=3):
    rng = np.random.default_rng(3)
    X = rng.uniform(size=(rows, 3))
    y = np.sin(2 * np.pi * X[:, 0]) + X[:, 1] + rng.normal(size=rows)
    gam = GAM(s(0, k=K) + s(1, k=K) + s(2, k=K), n_jobs=1).fit(X[:5000], y[:5000])
    p = gam._fitted.engine_layout().width
    best_se = min(_timed(lambda: gam.predict(X, return_std=True)) for _ in range(repeat))
    D = rng.uniform(size=(rows, p))
    w = rng.uniform(size=rows)
    best_xtwx = min(_timed(lambda: (D * w[:, None]).T @ D) for _ in range(repeat))
    out.append("### Standard errors of new rows\n")
    out.append(f"- {rows} rows, p = {p}, one thread: `predict(X, return_std=True)` {best_se:.3f} s "
               f"(basis evaluation included); one X'WX of {rows} x {p} with NumPy "
               f"(`(X * w[:, None]).T @ X`) {best_xtwx:.3f} s; ratio {best_se / best_xtwx:.2f} (target at most 3). "
               f"Best of {repeat}.")
    out.append("")
    print("\n".join(out[-2:]), flush=True)


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


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
    ap.add_argument("--only", choices=["coverage", "tests", "edf", "timing"])
    args = ap.parse_args()
    peers = not args.no_peers
    if peers:
        try:
            import pygam  # noqa: F401
            import statsmodels  # noqa: F401
        except ImportError:
            print("pyGAM or statsmodels is missing; running velkan only", file=sys.stderr)
            peers = False
    q = args.quick
    warnings.simplefilter("ignore")
    out = ["## Inference: simulation study\n",
           f"Machine: {platform.machine()}, {os.cpu_count()} cores, {cpu_name()}, "
           f"Python {platform.python_version()}, NumPy {np.__version__}, velkan {velkan.__version__}"
           + (f", pyGAM {__import__('pygam').__version__}, statsmodels {__import__('statsmodels').__version__}"
              if peers else "") + "; every library on one thread.\n"]
    t0 = time.perf_counter()
    if args.only in (None, "coverage"):
        coverage_study(10 if q else 200, 3 if q else 50, 2 if q else 20, peers, out)
    if args.only in (None, "tests"):
        test_study(20 if q else 500, 10 if q else 200, peers, out)
    if args.only in (None, "edf"):
        edf_study(20 if q else 200, out)
    if args.only in (None, "timing"):
        timing_study(out, rows=100_000 if q else 1_000_000)
    out.append(f"Total time {time.perf_counter() - t0:.0f} s.")
    name = "inference" + ("_quick" if q else "") + (f"_{args.only}" if args.only else "")
    path = Path(__file__).parent / "results" / f"{name}.md"
    path.parent.mkdir(exist_ok=True)
    path.write_text("\n".join(out) + "\n")
    print(f"written to {path}")


if __name__ == "__main__":
    main()
