"""Binned fits against exact fits: accuracy and in-memory speed.

  accuracy  the simulated cases of bench_engine.py (additive4 gaussian, additive3 poisson
            and binomial) at n = 10^5 and 10^6, fitted exactly and binned (max_bins 256):
            held-out error of each (gaussian: RMSE against the truth; poisson, binomial:
            mean deviance of fresh held-out responses), its relative difference, and the
            largest relative difference of the smoothing parameters of the terms that
            matter (the null term's are both beyond 1e6 and flat in the criterion);
            the real data sets of benchmarks/data (mcycle, trees), 10-fold cross-validated
            as in bench_engine.py, exactly and binned with 256, 32 and 16 bins.
  speed     three smooths (k = 10) in memory, n_jobs = 1, gaussian and poisson: best of
            two fit times exact and binned, from 10^5 to 10^7 rows (where binning="auto"
            switches on is chosen from this table).

    PYTHONPATH=build/dev/python python3 benchmarks/bench_binning.py [--quick]

Prints the tables and writes benchmarks/results/binning.json.
"""
import argparse
import json
import os
import platform
import time

import numpy as np

from bench_engine import excess_deviance, mean_deviance, real, simulated

HERE = os.path.dirname(os.path.abspath(__file__))


def smooths(d, k=10):
    from velkan import s
    terms = s(0, k=k, bs="ps")
    for j in range(1, d):
        terms = terms + s(j, k=k, bs="ps")
    return terms


def held_out_error(family, gam, Xt, mut, yt):
    pred = gam.predict(Xt)
    if family == "gaussian":
        return float(np.sqrt(np.mean((pred - mut) ** 2)))
    return mean_deviance(family, yt, pred)


def accuracy_case(case, family, n):
    from velkan import GAM
    X, y, Xt, mut, yt = simulated(case, family, n)
    out = dict(case=case, family=family, n=n)
    fits = {}
    for label, binning in (("exact", False), ("binned", True)):
        t = time.perf_counter()
        gam = GAM(smooths(X.shape[1]), family=family, binning=binning).fit(X, y)
        out[label + "_s"] = time.perf_counter() - t
        out[label] = held_out_error(family, gam, Xt, mut, yt)
        if family != "gaussian":
            out[label + "_excess"] = excess_deviance(family, mut, gam.predict(Xt))
        fits[label] = gam
    out["error_diff"] = out["binned"] / out["exact"] - 1
    lam_e, lam_b = fits["exact"].lambda_, fits["binned"].lambda_
    used = lam_e < 1e6
    out["lambda_diff"] = float(np.max(np.abs(lam_b[used] / lam_e[used] - 1)))
    out["null_lambdas"] = [[float(a), float(b)] for a, b in zip(lam_e[~used], lam_b[~used])]
    return out


def real_case(case, family):
    from velkan import GAM
    X, y = real(case)
    k = 10 if case == "mcycle" else 20
    folds = np.arange(y.size) % 10
    np.random.default_rng(3).shuffle(folds)
    out = dict(case=case, family=family, n=int(y.size))
    for label, binning, bins in (("exact", False, 256), ("binned 256", True, 256),
                                 ("binned 32", True, 32), ("binned 16", True, 16)):
        err = []
        for fold in range(10):
            tr, te = folds != fold, folds == fold
            gam = GAM(smooths(X.shape[1], k), family=family, binning=binning, max_bins=bins).fit(X[tr], y[tr])
            err.append(mean_deviance(family, y[te], gam.predict(X[te])) * te.sum())
        cv = np.sum(err) / y.size
        out[label] = float(np.sqrt(cv)) if family == "gaussian" else float(cv)
    return out


def speed_case(family, n, repeats=2):
    from velkan import GAM
    rng = np.random.default_rng(5)
    X = rng.uniform(size=(n, 3))
    eta = np.sin(6 * X[:, 0]) + np.exp(2 * X[:, 1]) / 3 + np.cos(3 * X[:, 2])
    y = eta + rng.normal(size=n) if family == "gaussian" else rng.poisson(np.exp(0.5 * eta)).astype(float)
    out = dict(family=family, n=n)
    # Binned fits of non-gaussian families choose smoothing parameters by performance
    # iteration (PQL), exact ones by Laplace REML unless told: both exact fits are timed.
    fits = [("exact", False, "REML"), ("binned", True, "REML")]
    if family != "gaussian":
        fits.append(("exact_pql", False, "PQL"))
    for _ in range(repeats):  # interleaved, so that all see the same machine
        for label, binning, method in fits:
            t = time.perf_counter()
            GAM(smooths(3), family=family, binning=binning, n_jobs=1, method=method).fit(X, y)
            out[label] = min(out.get(label, np.inf), time.perf_counter() - t)
    out["speedup"] = out["exact"] / out["binned"]
    out["speedup_pql"] = out.get("exact_pql", out["exact"]) / out["binned"]
    out["load"] = os.getloadavg()[0]
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="n <= 10^6")
    args = ap.parse_args()
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    results = {"machine": f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}",
               "accuracy": [], "real": [], "speed": []}
    for n in (10**5,) if args.quick else (10**5, 10**6):
        results["accuracy"].append(accuracy_case("additive4", "gaussian", n))
        for family in ("poisson", "binomial"):
            results["accuracy"].append(accuracy_case("additive3", family, n))
    results["real"] = [real_case("mcycle", "gaussian"), real_case("trees", "gamma")]
    sizes = (10**5, 10**6) if args.quick else (10**5, 3 * 10**5, 10**6, 3 * 10**6, 10**7)
    for n in sizes:
        for family in ("gaussian", "poisson"):
            results["speed"].append(speed_case(family, n))
            print(json.dumps(results["speed"][-1]), flush=True)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "binning.json"), "w") as f:
        json.dump(results, f, indent=1)
    table(results)


def table(r):
    print(f"\nmachine: {r['machine']}\n")
    print("| case | family | n | held-out error exact | binned | difference | smoothing parameters: "
          "largest difference | fit s exact / binned |\n|---|---|---|---|---|---|---|---|")
    for a in r["accuracy"]:
        print(f"| {a['case']} | {a['family']} | {a['n']:.0e} | {a['exact']:.6g} | {a['binned']:.6g} | "
              f"{100 * a['error_diff']:+.3f} % | {100 * a['lambda_diff']:.2f} % | "
              f"{a['exact_s']:.2f} / {a['binned_s']:.2f} |")
    print("\n| data | family | n | 10-fold CV error exact | binned 256 | binned 32 | binned 16 |\n"
          "|---|---|---|---|---|---|---|")
    for a in r["real"]:
        print(f"| {a['case']} | {a['family']} | {a['n']} | {a['exact']:.6g} | {a['binned 256']:.6g} | "
              f"{a['binned 32']:.6g} | {a['binned 16']:.6g} |")
    print("\n| family | n | exact fit s (default method) | exact fit s (PQL) | binned fit s | speed-up "
          "(default / same method) | load |\n|---|---|---|---|---|---|---|")
    for a in r["speed"]:
        pql = f"{a['exact_pql']:.3f}" if "exact_pql" in a else "(one method)"
        print(f"| {a['family']} | {a['n']:.0e} | {a['exact']:.3f} | {pql} | {a['binned']:.3f} | "
              f"{a['speedup']:.1f} / {a['speedup_pql']:.1f} | {a['load']:.1f} |")


if __name__ == "__main__":
    main()
