"""velkan.GAM against the field's peers and against the cross-product floor.

Every (case, library) pair runs in its own subprocess, so that peak memory is the case's
own and a slow peer can be stopped at a time limit. Cases:

  additive4   gaussian, f(x) = 2 sin(pi x0) + exp(2 x1) + [bump mixture](x2) + 0 x3,
              noise sd 0.5, 10 basis functions per term: held-out RMSE against the truth
  additive3   poisson / binomial, eta = sin(2 pi x0) + 2 (x1 - 1/2)^2 - 1/2 + 0 x2:
              held-out mean deviance (fresh responses) and RMSE of eta against the truth
  floor       one fit against one X'WX of a design of the same size (NumPy, one thread),
              and peak memory growth against design + inputs
  mcycle      133-row motorcycle acceleration curve, k = 10: 10-fold cross-validated RMSE
  trees       31 rows, gamma, two smooths of k = 20: 10-fold cross-validated mean deviance

Peers, each with its defaults at the same basis size: pyGAM (LinearGAM / PoissonGAM /
LogisticGAM / GammaGAM with gridsearch) and statsmodels (GLMGam with BSplines and
select_penweight). They are used where importable: install them into a benchmark
environment, never as dependencies of velkan.

    python benchmarks/bench_engine.py              # the full table
    python benchmarks/bench_engine.py --quick      # n <= 20,000, no floor cases
    python benchmarks/bench_engine.py --csv out.csv
"""
import argparse
import csv
import json
import os
import platform
import subprocess
import sys
import time
from measure import best_seconds, reset_peak, status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
PEER_TIMEOUT = 900.0
# statsmodels' select_penweight (basin hopping) took 93 s at n = 2,000 on the benchmark
# machine; larger simulated cases would only time out.
STATSMODELS_MAX_N = 2000
LIBS = ("velkan", "pygam", "statsmodels")


def cases(quick):
    ns = [2000, 20000] if quick else [2000, 20000, 200000]
    out = [dict(case="additive4", family="gaussian", n=n) for n in ns]
    out += [dict(case="additive3", family=f, n=n) for f in ("poisson", "binomial") for n in ns]
    out += [dict(case="mcycle", family="gaussian", n=133), dict(case="trees", family="gamma", n=31)]
    if not quick:
        out += [dict(case="floor", family="gaussian", n=10**6)]
        out += [dict(case="floor", family=f, n=n) for f in ("poisson", "binomial") for n in (10**5, 10**6)]
    return out


# ------------------------------------------------------------------ data

def truth4(X):
    import numpy as np
    x0, x1, x2 = X[:, 0], X[:, 1], X[:, 2]
    return (2 * np.sin(np.pi * x0) + np.exp(2 * x1)
            + 0.2 * x2**11 * (10 * (1 - x2)) ** 6 + 10 * (10 * x2) ** 3 * (1 - x2) ** 10)


def eta3(X):
    import numpy as np
    return np.sin(2 * np.pi * X[:, 0]) + 2 * (X[:, 1] - 0.5) ** 2 - 0.5


def draw(family, mean, rng):
    if family == "gaussian":
        return mean + 0.5 * rng.standard_normal(mean.size)
    if family == "poisson":
        return rng.poisson(mean).astype(float)
    return rng.binomial(1, mean).astype(float)


def simulated(case, family, n, seed=1):
    """Training rows, held-out rows (inside the unit cube), true means on both."""
    import numpy as np
    rng = np.random.default_rng(seed)
    d = 4 if case == "additive4" else 3
    X = rng.uniform(size=(n, d))
    Xt = rng.uniform(0.01, 0.99, size=(5000, d))
    if case == "additive4":
        mu, mut = truth4(X), truth4(Xt)
    else:
        e, et = eta3(X), eta3(Xt)
        inv = np.exp if family == "poisson" else (lambda v: 1 / (1 + np.exp(-v)))
        mu, mut = inv(e), inv(et)
    return X, draw(family, mu, rng), Xt, mut, draw(family, mut, rng)


def real(case):
    import numpy as np
    path = os.path.join(HERE, "data", case + ".csv")
    data = np.genfromtxt(path, delimiter=",", names=True)
    if case == "mcycle":
        return data["times"].reshape(-1, 1), data["accel"]
    return np.column_stack([data["Girth"], data["Height"]]), data["Volume"]


def mean_deviance(family, y, mu):
    import numpy as np
    if family == "gaussian":
        return float(np.mean((y - mu) ** 2))
    mu = np.clip(mu, 1e-300, None)
    if family == "poisson":
        t = np.where(y > 0, y * np.log(np.where(y > 0, y, 1) / mu), 0.0)
        return float(np.mean(2 * (t - (y - mu))))
    if family == "gamma":
        return float(np.mean(2 * (-np.log(y / mu) + (y - mu) / mu)))
    mu = np.clip(mu, 1e-15, 1 - 1e-15)
    return float(np.mean(-2 * (y * np.log(mu) + (1 - y) * np.log(1 - mu))))


def excess_deviance(family, mu_true, mu):
    """Expected held-out deviance of the predictions minus that of the true means, averaged
    over the held-out points: twice the Kullback-Leibler divergence of the fitted
    distribution from the true one, free of the noise of one set of fresh responses."""
    import numpy as np
    if family == "poisson":
        return float(np.mean(2 * (mu_true * np.log(mu_true / mu) - mu_true + mu)))
    mu = np.clip(mu, 1e-15, 1 - 1e-15)
    return float(np.mean(2 * (mu_true * np.log(mu_true / mu)
                              + (1 - mu_true) * np.log((1 - mu_true) / (1 - mu)))))


# ------------------------------------------------------------------ the libraries

def fitter(lib, family, d, k):
    """fit(X, y) -> predict(Xnew) for one library with its defaults at basis size k."""
    if lib == "velkan":
        from velkan import GAM, s

        def fit(X, y):
            terms = s(0, k=k)
            for j in range(1, d):
                terms = terms + s(j, k=k)
            gam = GAM(terms, family=family, n_jobs=1).fit(X, y)
            return gam.predict
        return fit
    if lib == "pygam":
        import pygam

        def fit(X, y):
            terms = pygam.s(0, n_splines=k)
            for j in range(1, d):
                terms = terms + pygam.s(j, n_splines=k)
            cls = {"gaussian": pygam.LinearGAM, "poisson": pygam.PoissonGAM,
                   "binomial": pygam.LogisticGAM, "gamma": pygam.GammaGAM}[family]
            gam = cls(terms).gridsearch(X, y, progress=False)
            return gam.predict_mu if family == "binomial" else gam.predict
        return fit
    import statsmodels.api as sm
    from statsmodels.gam.api import BSplines, GLMGam

    def fit(X, y):
        fam = {"gaussian": sm.families.Gaussian(), "poisson": sm.families.Poisson(),
               "binomial": sm.families.Binomial(),
               "gamma": sm.families.Gamma(sm.families.links.Log())}[family]
        bs = BSplines(X, df=[k] * d, degree=[3] * d)
        model = GLMGam(y, smoother=bs, family=fam)
        model.fit()  # select_penweight reads the scale of a fitted model (statsmodels 0.15)
        alpha = model.select_penweight()[0]
        res = GLMGam(y, smoother=bs, alpha=alpha, family=fam).fit()
        return lambda Xn: res.predict(exog_smooth=Xn)
    return fit


# ------------------------------------------------------------------ measurement

def floor_seconds(n, p, rng):
    D = rng.uniform(size=(n, p))
    w = rng.uniform(size=n)
    return best_seconds(lambda: (D * w[:, None]).T @ D, 3)[0]


def worker(spec):
    import numpy as np
    case, family, n, lib = spec["case"], spec["family"], spec["n"], spec["lib"]
    out = dict(spec)
    if case in ("mcycle", "trees"):
        X, y = real(case)
        k = 10 if case == "mcycle" else 20
        fit = fitter(lib, family, X.shape[1], k)
        folds = np.arange(y.size) % 10
        np.random.default_rng(3).shuffle(folds)
        err, t0 = [], time.perf_counter()
        for f in range(10):
            tr, te = folds != f, folds == f
            pred = fit(X[tr], y[tr])
            # test points outside a fold's training range are predicted by extrapolation
            err.append(mean_deviance(family, y[te], pred(X[te])) * te.sum())
        out["cv"] = float(np.sqrt(np.sum(err) / y.size)) if family == "gaussian" else float(np.sum(err) / y.size)
        out["seconds"] = time.perf_counter() - t0
        return out
    X, y, Xt, mut, yt = simulated(case, family, n)
    d = X.shape[1]
    fit = fitter(lib, family, d, 10)
    repeats = 3 if (lib == "velkan" and n <= 10**5) else 1
    reset_peak()
    before = status_kib("VmHWM")
    out["seconds"], pred = best_seconds(lambda: fit(X, y), repeats)
    out["peak_growth_mb"] = (status_kib("VmHWM") - before) / 1024.0
    mu = pred(Xt)
    if family == "gaussian":
        out["rmse"] = float(np.sqrt(np.mean((mu - mut) ** 2)))
    else:
        out["deviance"] = mean_deviance(family, yt, mu)
        out["excess"] = excess_deviance(family, mut, mu)
        link = np.log if family == "poisson" else (lambda m: np.log(m / (1 - m)))
        out["rmse"] = float(np.sqrt(np.mean((link(np.clip(mu, 1e-12, 1 - 1e-12) if family == "binomial" else mu) - link(mut)) ** 2)))
    if case == "floor":
        out["floor_seconds"] = floor_seconds(n, 1 + 10 * d, np.random.default_rng(7))
        out["design_mb"] = n * (1 + 10 * d) * 8 / 2**20
        out["inputs_mb"] = (X.nbytes + y.nbytes) / 2**20
    return out


def run(spec):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    try:
        p = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(spec)],
                           capture_output=True, text=True, env=env,
                           timeout=PEER_TIMEOUT if spec["lib"] != "velkan" else None)
    except subprocess.TimeoutExpired:
        return dict(spec, error=f"over {PEER_TIMEOUT:.0f} s")
    if p.returncode != 0:
        return dict(spec, error=(p.stderr.strip().splitlines() or ["failed"])[-1][:80])
    return json.loads(p.stdout.strip().splitlines()[-1])


def available(lib):
    mod = {"velkan": "velkan", "pygam": "pygam", "statsmodels": "statsmodels.gam.api"}[lib]
    return subprocess.run([sys.executable, "-c", f"import {mod}"], capture_output=True).returncode == 0


def fmt(v, digits=4):
    if v is None:
        return ""
    if isinstance(v, float):
        return f"{v:.{digits}g}"
    return str(v)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--csv", default=os.path.join(HERE, "results", "engine.csv"))
    ap.add_argument("--libs", default=",".join(LIBS))
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return
    libs = [lib for lib in args.libs.split(",") if available(lib)]
    print(f"# {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"{time.strftime('%Y-%m-%d')}; libraries: {', '.join(libs)}", flush=True)
    rows = []
    for c in cases(args.quick):
        for lib in (libs if c["case"] != "floor" else ["velkan"]):
            if lib == "statsmodels" and c["n"] > STATSMODELS_MAX_N:
                continue
            r = run(dict(c, lib=lib))
            rows.append(r)
            print(json.dumps(r), file=sys.stderr, flush=True)
    os.makedirs(os.path.dirname(args.csv), exist_ok=True)
    keys = sorted({k for r in rows for k in r})
    with open(args.csv, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=keys)
        w.writeheader()
        w.writerows(rows)

    def get(c, lib, key):
        for r in rows:
            if r["lib"] == lib and all(r[k] == c[k] for k in ("case", "family", "n")):
                return r.get(key, r.get("error") if key in ("rmse", "cv", "deviance", "excess") else None)
        return None

    print("\n| case | family | n | metric | " + " | ".join(f"{lib}" for lib in libs)
          + " | velkan s | " + " | ".join(f"{lib} s" for lib in libs[1:]) + " | speed-up vs pyGAM |")
    print("|---" * (6 + 2 * len(libs)) + "|")
    for c in cases(args.quick):
        if c["case"] == "floor":
            continue
        metric = "cv" if c["case"] in ("mcycle", "trees") else ("rmse" if c["family"] == "gaussian" else "deviance")
        metrics = [metric] + (["excess"] if metric == "deviance" else [])
        for m in metrics:
            name = {"cv": "CV RMSE" if c["family"] == "gaussian" else "CV deviance",
                    "rmse": "RMSE vs truth", "deviance": "held-out deviance",
                    "excess": "excess deviance (expected)"}[m]
            vals = [fmt(get(c, lib, m), 6 if m == "deviance" else 4) for lib in libs]
            secs = [fmt(get(c, lib, "seconds"), 3) for lib in libs]
            sv, sp = get(c, "velkan", "seconds"), get(c, "pygam", "seconds")
            speed = fmt(sp / sv, 3) if isinstance(sv, float) and isinstance(sp, float) else ""
            print(f"| {c['case']} | {c['family']} | {c['n']} | {name} | " + " | ".join(vals) + " | "
                  + " | ".join(secs) + f" | {speed} |")
    floors = [r for r in rows if r["case"] == "floor"]
    if floors:
        print("\n| family | n | fit s | floor s (one X'WX) | fit / floor | peak growth MB | design + inputs MB | memory ratio |")
        print("|---|---|---|---|---|---|---|---|")
        for r in floors:
            if "error" in r:
                print(f"| {r['family']} | {r['n']} | {r['error']} |||||")
                continue
            total = r["design_mb"] + r["inputs_mb"]
            print(f"| {r['family']} | {r['n']} | {fmt(r['seconds'], 3)} | {fmt(r['floor_seconds'], 3)} | "
                  f"{fmt(r['seconds'] / r['floor_seconds'], 3)} | {fmt(r['peak_growth_mb'], 3)} | "
                  f"{fmt(total, 3)} | {fmt((r['peak_growth_mb'] + r['inputs_mb']) / total, 3)} |")


if __name__ == "__main__":
    main()
