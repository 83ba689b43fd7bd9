"""The response families and Laplace-approximate REML: speed against the floors, and
held-out fit against the peers, on simulated and on real data.

    PYTHONPATH=build/dev/python python benchmarks/bench_families.py            # about 20 minutes
    PYTHONPATH=build/dev/python python benchmarks/bench_families.py --quick    # n <= 10^5, fewer folds

Every library on one thread. Tables:

1. Speed at n = 10^6 in memory, three smooths of k = 10 (p = 28): one fit with the default
   method and with each method, against two floors measured in the same run: one pass (the
   engine's X'WX of the same design, at the family's weights) and one read of the inputs
   (a sum over X and y). Best of 2 fits, best of 3 floors. REML is the default method.
   Every family's truth is additive in log mu; the inverse Gaussian, whose default link is
   1/mu^2, has a second row with a truth additive on that scale.
2. Laplace-REML against PQL at n = 10^5: the ratio of their fit times (best of 3,
   interleaved).
3. Simulated data (n = 2000 and 20000, two smooths and a linear term, 20000 held-out rows):
   the mean held-out deviance of each family's fit next to the peers' (pyGAM with its
   families, statsmodels GLMGam with its penalty chosen by AIC at n = 2000, glum's Tweedie
   GLM on the same B-spline features with its penalty chosen by 5-fold cross-validation),
   and the excess over the truth's deviance.
4. Real data available offline, 5-fold cross-validation: outpatient visits of the RAND
   health insurance experiment (statsmodels' `randhie`, 20190 rows, overdispersed counts)
   and the time spent in extramarital affairs of Fair's survey (statsmodels' `fair`, 6366
   rows, 68 % zeros and a continuous positive part: a claims-like response).

Each peer's fit (and each fold of the real-data table) runs in a child process stopped after
PEER_LIMIT seconds; one that takes longer gets a row saying so instead of holding up the run.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import os
import platform
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, _engine, l, s  # noqa: E402

warnings.simplefilter("ignore")


def tweedie_draw(rng, mu, phi, p):
    lam, a, c = mu ** (2 - p) / (phi * (2 - p)), (2 - p) / (p - 1), phi * (p - 1) * mu ** (p - 1)
    n = rng.poisson(lam)
    return np.where(n > 0, rng.gamma(np.maximum(n, 1) * a, c), 0.0)


# name -> (family, sampler at mean mu)
CASES = {
    "poisson": ("poisson", lambda r, mu: r.poisson(mu).astype(float)),
    "gamma": ("gamma", lambda r, mu: r.gamma(3.0, mu / 3.0)),
    "negative_binomial": ("negative_binomial", lambda r, mu: r.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)),
    "tweedie (p = 1.5 given)": (velkan.Tweedie(power=1.5), lambda r, mu: tweedie_draw(r, mu, 1.5, 1.5)),
    "tweedie (p estimated)": ("tweedie", lambda r, mu: tweedie_draw(r, mu, 1.5, 1.5)),
    "inverse_gaussian": ("inverse_gaussian", lambda r, mu: r.wald(mu, 4.0)),
    "quasipoisson": ("quasipoisson", lambda r, mu: r.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)),
    "quasibinomial": ("quasibinomial", None),
}


# Speed-table cases beyond CASES: the inverse Gaussian with a truth additive on its default
# link's scale, 1/mu^2 (CASES draws every family from a truth additive in log mu, which the
# 1/mu^2 model can only approximate with a fit at the edge of its domain, 1/mu^2 > 0).
OWN_LINK_CASES = {"inverse_gaussian (truth on 1/mu^2)": "inverse_gaussian"}


def simulate_own_link(rng, n):
    """Inverse Gaussian responses whose 1/mu^2 is additive, between 0.5 and 2.6."""
    X = rng.uniform(size=(n, 3))
    eta = 1.0 + 0.5 * np.sin(2 * np.pi * X[:, 0]) + 0.8 * (np.exp(2 * X[:, 1]) - 1) / (np.e ** 2 - 1) \
        + 0.3 * X[:, 2]
    return X, rng.wald(eta ** -0.5, 4.0)


def simulate(rng, n, case):
    X = rng.uniform(size=(n, 3))
    eta = np.sin(2 * np.pi * X[:, 0]) + np.exp(2 * X[:, 1]) / np.e ** 2 + 0.5 * X[:, 2] - 0.5
    family, draw = CASES[case]
    if draw is None:  # proportions of 5 trials
        mu = 1 / (1 + np.exp(-eta))
        return X, rng.binomial(5, mu) / 5.0, mu
    mu = np.exp(eta)
    return X, draw(rng, mu), mu


# Longest a peer's fit may take (seconds); a peer that takes longer gets a row saying so.
PEER_LIMIT = 180.0


def _child(fit, X, y, Xt, queue):
    try:
        queue.put(np.asarray(fit(X, y)(Xt), float))
    except Exception as e:  # noqa: BLE001  reported by the parent as the peer's row
        queue.put(f"failed: {type(e).__name__}")


def limited(fit, X, y, Xt, limit):
    """fit(X, y) and its predictions at Xt in a forked child that is stopped after `limit`
    seconds; (predictions or None, seconds, why it has none)."""
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child, args=(fit, X, y, Xt, queue))
    t0 = time.perf_counter()
    child.start()
    try:
        got = queue.get(timeout=limit)
    except Exception:  # noqa: BLE001  the queue stayed empty: out of time or the child died
        got = f"did not finish in {limit:.0f} s" if child.is_alive() else "failed"
    seconds = time.perf_counter() - t0
    child.kill()
    child.join()
    return (None, seconds, got) if isinstance(got, str) else (got, seconds, "")


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def speed_table(n, out):
    out += [f"### Speed at n = {n:,} in memory, three smooths of k = 10\n",
            "| family | method | fit s | passes | one pass s | fit / one pass | one read s | fit / one read |",
            "|---|---|---|---|---|---|---|---|"]
    rng = np.random.default_rng(1)
    terms = s(0) + s(1) + s(2)
    cases = [(case, family) for case, (family, _) in CASES.items()] + list(OWN_LINK_CASES.items())
    for case, family in cases:
        X, y = simulate_own_link(rng, n) if case in OWN_LINK_CASES else simulate(rng, n, case)[:2]
        read, _ = best(lambda: float(X.sum() + y.sum()), 3)
        for method in ("REML", "PQL"):  # REML is the default
            fit_s, gam = best(lambda: GAM(terms, family=family, method=method).fit(X, y), 2)
            fitted = gam._fitted
            layout, model = fitted.engine_layout(), fitted.model
            one, _ = best(lambda: _engine.accumulate(layout, list(X.T), y, None, None, model, fitted.beta_raw,
                                                     False, False, 1), 3)
            out.append(f"| {case} | {method}{' (fitted as ' + gam.method + ')' if gam.method != method else ''} | "
                       f"{fit_s:.3f} | {fitted.passes} | {one:.3f} | {fit_s / one:.1f} | {read:.4f} | {fit_s / read:.0f} |")
            print(out[-1], flush=True)
    out.append("")


def laplace_table(n, out):
    out += [f"### Laplace-REML against PQL at n = {n:,} (best of 3, interleaved)\n",
            "| family | REML s | PQL s | REML / PQL | REML passes | PQL passes |", "|---|---|---|---|---|---|"]
    rng = np.random.default_rng(2)
    for case, (family, _) in CASES.items():
        X, y, _ = simulate(rng, n, case)
        times = {"REML": [], "PQL": []}
        passes = {}
        for _ in range(3):
            for method in times:
                t0 = time.perf_counter()
                gam = GAM(s(0) + s(1) + s(2), family=family, method=method).fit(X, y)
                times[method].append(time.perf_counter() - t0)
                passes[method] = gam._fitted.passes
        r, p = min(times["REML"]), min(times["PQL"])
        out.append(f"| {case} | {r:.3f} | {p:.3f} | {r / p:.2f} | {passes['REML']} | {passes['PQL']} |")
        print(out[-1], flush=True)
    out.append("")


# ----------------------------------------------------------------------------- held-out fit
def unit_deviance(case, y, mu):
    """The family's mean deviance (Tweedie at p = 1.5, negative binomial at theta = 2)."""
    model = {"negative_binomial": _engine.ResponseModel("negative_binomial", "", [2.0]),
             "tweedie": _engine.ResponseModel("tweedie", "", [1.5])}.get(case) or \
        _engine.ResponseModel(case, "", [])
    return float(np.mean(model.unit_deviance(y, np.maximum(mu, 1e-12))))


def peers_for(case):
    """(name, fit(X, y) -> predict) of the peers that fit `case`'s responses."""
    out = []
    try:
        import pygam
        dist = {"negative_binomial": ("poisson", "log"), "gamma": ("gamma", "log"),
                "inverse_gaussian": ("inv_gauss", "log"), "tweedie": None}[case]
        if dist is not None:
            def fit_pygam(X, y, d=dist):
                g = pygam.GAM(pygam.s(0) + pygam.s(1) + pygam.l(2), distribution=d[0], link=d[1])
                return g.gridsearch(X, y, progress=False).predict
            out.append((f"pyGAM ({dist[0]})", fit_pygam))
    except ImportError:
        pass
    if case == "tweedie":
        try:
            import glum  # noqa: F401
            out.append(("glum Tweedie GLM, B-splines, CV", glum_tweedie))
        except ImportError:
            pass
    out.append(("statsmodels GLMGam", lambda X, y: statsmodels_gam(case, X, y)))
    return out


def glum_tweedie(X, y, power=1.5):
    from glum import GeneralizedLinearRegressorCV
    from sklearn.preprocessing import SplineTransformer
    features = SplineTransformer(n_knots=8, degree=3, extrapolation="linear").fit(X)
    model = GeneralizedLinearRegressorCV(family=f"tweedie", link="log", l1_ratio=0.0, cv=5, n_alphas=30)
    model.set_params(family=__import__("glum").TweedieDistribution(power))
    model.fit(features.transform(X), y)
    return lambda Xt: model.predict(features.transform(Xt))


def statsmodels_gam(case, X, y):
    import statsmodels.api as sm
    from statsmodels.gam.api import BSplines, GLMGam
    fam = {"negative_binomial": sm.families.NegativeBinomial(alpha=0.5),
           "tweedie": sm.families.Tweedie(var_power=1.5), "gamma": sm.families.Gamma(sm.families.links.Log()),
           "inverse_gaussian": sm.families.InverseGaussian(sm.families.links.Log())}[case]
    smoother = BSplines(X[:, :2], df=[10, 10], degree=[3, 3], include_intercept=False)
    exog = np.column_stack([np.ones(len(y)), X[:, 2]])
    model = GLMGam(y, exog=exog, smoother=smoother, family=fam)
    model.scale = None
    alpha = model.select_penweight(criterion="aic")[0]
    result = GLMGam(y, exog=exog, smoother=smoother, family=fam, alpha=alpha).fit()
    # Its B-splines refuse values outside the training range: held-out rows are moved onto it.
    low, high = X[:, :2].min(axis=0), X[:, :2].max(axis=0)
    return lambda Xt: result.predict(np.column_stack([np.ones(len(Xt)), Xt[:, 2]]),
                                     exog_smooth=np.clip(Xt[:, :2], low, high))


def heldout_table(sizes, out, peers):
    out += ["### Held-out mean deviance on simulated data (20000 fresh rows; excess over the truth in brackets)\n",
            "| family | n | velkan REML | velkan PQL | peer | peer deviance | velkan s | peer s |",
            "|---|---|---|---|---|---|---|---|"]
    rng = np.random.default_rng(3)
    for case, family in (("negative_binomial", "negative_binomial"), ("tweedie", "tweedie"),
                         ("gamma", "gamma"), ("inverse_gaussian", velkan.InverseGaussian(link="log"))):
        name = {"tweedie": "tweedie (p estimated)"}.get(case, case)
        for n in sizes:
            X, y, mu = simulate(rng, n + 20000, name)
            Xt, yt, mut, X, y = X[n:], y[n:], mu[n:], X[:n], y[:n]
            truth = unit_deviance(case, yt, mut)
            cells, t_v = [], 0.0
            for method in ("REML", "PQL"):
                t0 = time.perf_counter()
                gam = GAM(s(0) + s(1) + l(2), family=family, method=method).fit(X, y)
                t_v = t_v or time.perf_counter() - t0
                d = unit_deviance(case, yt, gam.predict(Xt))
                cells.append(f"{d:.5f} ({d - truth:+.5f})")
            for peer, fit in (peers_for(case) if peers else []):
                if peer.startswith("statsmodels") and n > 2000:
                    continue
                pred, secs, why = limited(fit, X, y, Xt, PEER_LIMIT)
                if pred is None:
                    cell = why
                else:
                    d = unit_deviance(case, yt, pred)
                    cell = f"{d:.5f} ({d - truth:+.5f})"
                out.append(f"| {case} | {n} | {cells[0]} | {cells[1]} | {peer} | {cell} | {t_v:.3f} | "
                           f"{secs:.2f} |")
                print(out[-1], flush=True)
            if not peers:
                out.append(f"| {case} | {n} | {cells[0]} | {cells[1]} | | | {t_v:.3f} | |")
    out.append("")


def real_table(folds, out, peers):
    import statsmodels.api as sm
    out += ["### Real data, 5-fold cross-validation (mean held-out deviance per row)\n",
            "| data | model | held-out deviance | fit s |", "|---|---|---|---|"]
    visits = sm.datasets.randhie.load_pandas().data
    cols = ["lncoins", "idp", "lpi", "fmde", "physlm", "disea", "hlthg", "hlthf", "hlthp"]
    Xv, yv = visits[cols].to_numpy(float), visits["mdvis"].to_numpy(float)
    terms_v = s(2) + s(3) + s(4) + s(5) + l(0) + l(1) + l(6) + l(7) + l(8)
    fair = sm.datasets.fair.load_pandas().data
    fcols = ["rate_marriage", "age", "yrs_married", "children", "religious", "educ", "occupation", "occupation_husb"]
    Xf, yf = fair[fcols].to_numpy(float), fair["affairs"].to_numpy(float)
    terms_f = s(1, k=6) + s(2, k=6) + l(0) + l(3) + l(4) + l(5) + l(6) + l(7)
    models = [("randhie visits", "negative binomial GAM (theta estimated)", Xv, yv,
               lambda X, y: GAM(terms_v, family="negative_binomial").fit(X, y).predict, "nb"),
              ("randhie visits", "poisson GAM", Xv, yv, lambda X, y: GAM(terms_v, family="poisson").fit(X, y).predict, "nb"),
              ("fair affairs", "Tweedie GAM (p estimated)", Xf, yf,
               lambda X, y: GAM(terms_f, family="tweedie").fit(X, y).predict, "tw"),
              ("fair affairs", "Tweedie GAM (p = 1.5)", Xf, yf,
               lambda X, y: GAM(terms_f, family=velkan.Tweedie(power=1.5)).fit(X, y).predict, "tw")]
    if peers:
        models += [("randhie visits", "pyGAM PoissonGAM gridsearch", Xv, yv, pygam_poisson(terms_count=len(cols)), "nb"),
                   ("randhie visits", "statsmodels GLM negative binomial (linear)", Xv, yv, sm_glm_nb, "nb"),
                   ("fair affairs", "glum Tweedie GLM p = 1.5, B-splines, CV", Xf, yf, glum_tweedie, "tw"),
                   ("fair affairs", "statsmodels GLM Tweedie p = 1.5 (linear)", Xf, yf, sm_glm_tweedie, "tw")]
    for data, name, X, y, fit, kind in models:
        idx = np.random.default_rng(0).permutation(len(y))
        devs, secs, why = [], [], ""
        for k in range(folds):
            test = idx[k::folds]
            train = np.setdiff1d(idx, test)
            pred, sec, why = limited(fit, X[train], y[train], X[test], PEER_LIMIT)
            if pred is None:
                break
            secs.append(sec)
            case = "negative_binomial" if kind == "nb" else "tweedie"
            devs.append(unit_deviance(case, y[test], pred))
        cell = f"{np.mean(devs):.5f} | {np.mean(secs):.2f}" if not why else f"{why} (fold {len(devs) + 1}) | "
        out.append(f"| {data} | {name} | {cell} |")
        print(out[-1], flush=True)
    out.append("(deviances: negative binomial at theta = 2 for the visits, Tweedie at p = 1.5 for the affairs, "
               "so that every model is scored by the same yardstick)\n")


def pygam_poisson(terms_count):
    def fit(X, y):
        import pygam
        terms = pygam.s(2) + pygam.s(3) + pygam.s(4) + pygam.s(5)
        for j in (0, 1, 6, 7, 8):
            terms += pygam.l(j)
        return pygam.PoissonGAM(terms).gridsearch(X, y, progress=False).predict
    return fit


def sm_glm_nb(X, y):
    import statsmodels.api as sm
    r = sm.NegativeBinomial(y, sm.add_constant(X)).fit(disp=0)
    return lambda Xt: r.predict(sm.add_constant(Xt, has_constant="add"))


def sm_glm_tweedie(X, y):
    import statsmodels.api as sm
    r = sm.GLM(y, sm.add_constant(X), family=sm.families.Tweedie(var_power=1.5)).fit()
    return lambda Xt: r.predict(sm.add_constant(Xt, has_constant="add"))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--only", choices=["speed", "laplace", "heldout", "real"])
    args = ap.parse_args()
    q = args.quick
    out = [f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
           f"NumPy {np.__version__}, velkan {velkan.__version__}; load average before the run "
           f"{os.getloadavg()[0]:.2f}.\n"]
    if args.only in (None, "speed"):
        speed_table(100_000 if q else 1_000_000, out)
    if args.only in (None, "laplace"):
        laplace_table(20_000 if q else 100_000, out)
    if args.only in (None, "heldout"):
        heldout_table([2000] if q else [2000, 20000], out, not args.no_peers)
    if args.only in (None, "real"):
        real_table(2 if q else 5, out, not args.no_peers)
    print("\n".join(out))


if __name__ == "__main__":
    main()
