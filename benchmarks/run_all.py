"""The benchmark suite: velkan_core's REML fit on simulated additive models with known truth.

For every case it reports the wall time of one `GAM.fit` call, the process's peak memory
growth during the fit, the RMSE of the fitted means against the true mean on the training
points and on held-out points, the time of the cross-product floor (one X'WX with NumPy's
BLAS on a design of the same size) and the ratio fit time / floor. As a peer on the same
data it runs a dense NumPy/SciPy transcription of the same method (penalized IRLS with the
smoothing parameters chosen by minimising the same REML score with L-BFGS-B), on the same
design matrix, where that finishes within a stated cap.

Every case runs in its own subprocess so that peak memory is the case's own.

    python3 benchmarks/run_all.py              # the full table (several minutes)
    python3 benchmarks/run_all.py --quick      # n up to 10^4 only
    python3 benchmarks/run_all.py --csv out.csv
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
sys.path.insert(0, HERE)

PEER_CAP_SECONDS = 120.0  # the peer is skipped where its estimated time exceeds this


def cases(quick):
    out = []
    ns = [10**3, 10**4] if quick else [10**3, 10**4, 10**5, 10**6]
    for n in ns:
        for d in (1, 3, 5):
            for k in (10, 20):
                out.append(dict(n=n, d=d, k=k, family="gaussian"))
    if not quick:
        for fam in ("poisson", "binomial"):
            out.append(dict(n=10**5, d=3, k=10, family=fam))
    return out


# ---------------------------------------------------------------- measurement helpers

def rmse(a, b):
    import numpy as np
    return float(np.sqrt(np.mean((np.asarray(a) - np.asarray(b)) ** 2)))


# ---------------------------------------------------------------- the peer

def peer_fit(X, y, penalties, family, max_outer=10):
    """Dense NumPy/SciPy penalized IRLS with REML smoothing selection on design X."""
    import numpy as np
    from scipy.optimize import minimize

    n, p = X.shape
    m = len(penalties)

    def linkinv(eta):
        if family == "gaussian":
            return eta
        if family == "poisson":
            return np.exp(np.minimum(eta, 20))
        return 1 / (1 + np.exp(-np.clip(eta, -20, 20)))

    def pirls(lam):
        S = sum(l * s for l, s in zip(lam, penalties))
        if family == "gaussian":
            eta = y.copy()
        elif family == "poisson":
            eta = np.log(np.maximum(y, 0.1))
        else:
            m_ = np.clip(y, 0.01, 0.99)
            eta = np.log(m_ / (1 - m_))
        beta = np.zeros(p)
        for _ in range(100):
            mu = linkinv(eta)
            g = np.ones(n) if family == "gaussian" else (mu if family == "poisson" else mu * (1 - mu))
            var = np.ones(n) if family == "gaussian" else (mu if family == "poisson" else mu * (1 - mu))
            w = np.maximum(g**2 / np.maximum(var, 1e-10), 1e-10)
            z = eta + (y - mu) / np.where(np.abs(g) >= 1e-10, g, np.inf)
            A = (X * w[:, None]).T @ X + S
            A[np.diag_indices(p)] += 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(A)).max())
            new = np.linalg.solve(A, X.T @ (w * z))
            change = np.abs(new - beta).max()
            beta = new
            eta = X @ beta
            if change < 1e-6:
                break
        mu = linkinv(eta)
        g = np.ones(n) if family == "gaussian" else (mu if family == "poisson" else mu * (1 - mu))
        w = np.maximum(g**2 / np.maximum(g if family != "gaussian" else 1.0, 1e-10), 1e-10)
        z = eta + (y - mu) / np.where(np.abs(g) >= 1e-10, g, np.inf)
        return beta, mu, w, z

    ranks = [max(int((np.abs(s).sum(axis=1) > 1e-10 * max(1, np.abs(s).max())).sum()) - 2, 1)
             for s in penalties]

    def reml(rho, XtWX, XtWz, z, w):
        lam = np.exp(rho)
        A = XtWX + sum(l * s for l, s in zip(lam, penalties))
        A[np.diag_indices(p)] += 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(A)).max())
        beta = np.linalg.solve(A, XtWz)
        r = z - X @ beta
        rss = float(w @ r**2)
        pen = sum(l * beta @ s @ beta for l, s in zip(lam, penalties))
        sign, logdet = np.linalg.slogdet(A)
        rk = sum(ranks)
        phi = rss / (n - rk)
        return 0.5 * (logdet + (rss + pen) / phi + (n - rk) * np.log(2 * np.pi * phi)
                      - sum(r_ * np.log(l) for r_, l in zip(ranks, lam)))

    rho = np.full(m, np.log(0.1))
    for _ in range(max_outer):
        beta, mu, w, z = pirls(np.exp(rho))
        XtWX = (X * w[:, None]).T @ X
        XtWz = X.T @ (w * z)
        res = minimize(reml, rho, args=(XtWX, XtWz, z, w), method="L-BFGS-B",
                       bounds=[(-16, 16)] * m)
        change = np.abs(res.x - rho).max()
        rho = res.x
        if change < 1e-6:
            break
    beta, mu, w, z = pirls(np.exp(rho))
    return beta, mu


# ---------------------------------------------------------------- one case

def run_case(case):
    import numpy as np
    import velkan_core
    from simulate import simulate, true_mean

    n, d, k, family = case["n"], case["d"], case["k"], case["family"]
    seed = 1000 * d + 10 * k + {"gaussian": 0, "poisson": 1, "binomial": 2}[family]
    x, y, mu = simulate(n, d, family, seed=seed)
    x_test, _, mu_test = simulate(2000, d, family, seed=seed + 7)
    out = dict(case)
    input_bytes = x.nbytes + y.nbytes

    rss_before = status_kib("VmRSS")
    reset_peak()
    gam = velkan_core.GAM(family)
    t = time.perf_counter()
    result = gam.fit(x, y, k=[k] * d)
    out["fit_s"] = time.perf_counter() - t
    peak = status_kib("VmHWM")
    out["peak_growth_mb"] = max(0, peak - rss_before) / 1024.0
    p = d * k
    out["design_mb"] = n * p * 8 / 2**20
    out["inputs_mb"] = input_bytes / 2**20
    out["mem_ratio"] = (out["peak_growth_mb"] + out["inputs_mb"]) / (out["design_mb"] + out["inputs_mb"])
    out["rmse_train"] = rmse(result["fitted_values"], mu)
    out["rmse_test"] = rmse(gam.predict(x_test), mu_test)
    out["lambda"] = [float(v) for v in result["lambda"]]

    # The floor: one weighted cross product of a design of the same size with NumPy's BLAS.
    Xr = np.random.default_rng(1).uniform(size=(n, p))
    w = np.random.default_rng(2).uniform(0.5, 1.5, size=n)
    (Xr * w[:, None]).T @ Xr  # warm-up
    out["floor_s"] = best_seconds(lambda: (Xr * w[:, None]).T @ Xr, 5)[0]
    out["ratio_floor"] = out["fit_s"] / out["floor_s"]
    del Xr

    # The peer, on the same design matrix and with the same scaled penalties.
    est = 4e-9 * n * p * p * 40 + 2e-9 * p**3 * 2000
    if est > PEER_CAP_SECONDS:
        out["peer"] = f"skipped (estimated {est:.0f} s > cap {PEER_CAP_SECONDS:.0f} s)"
    else:
        X = gam.get_design_matrix()
        penalties = peer_penalties(X, d, k, x)
        t = time.perf_counter()
        _, mu_peer = peer_fit(X, y, penalties, family)
        out["peer_s"] = time.perf_counter() - t
        out["peer_rmse_train"] = rmse(mu_peer, mu)
        out["speedup_vs_peer"] = out["peer_s"] / out["fit_s"]
    return out


def peer_penalties(X, d, k, x):
    """The fit's scaled, embedded penalties, rebuilt from the B-spline knots of each column."""
    import numpy as np
    import velkan_core

    p = d * k
    out = []
    for j in range(d):
        col = np.sort(x[:, j])
        N = len(col)
        knots = []
        for i in range(k - 2):
            r = (i + 1) / (k - 1) * (N - 1)
            lo = int(np.floor(r))
            knots.append(col[lo] if lo >= N - 1 else (1 - (r - lo)) * col[lo] + (r - lo) * col[lo + 1])
        S = velkan_core.compute_penalty_matrix("cubic", k, np.array(knots))
        B = X[:, j * k:(j + 1) * k]
        nb = np.abs(B).sum(axis=1).max()
        ns = np.abs(S).sum(axis=1).max()
        c = nb * nb / ns if ns > 1e-10 else 1.0
        full = np.zeros((p, p))
        full[j * k:(j + 1) * k, j * k:(j + 1) * k] = c * S
        out.append(full)
    return out


# ---------------------------------------------------------------- the table

COLUMNS = ["family", "n", "d", "k", "fit_s", "floor_s", "ratio_floor", "peak_growth_mb",
           "design_mb", "mem_ratio", "rmse_train", "rmse_test", "peer_s", "speedup_vs_peer",
           "peer_rmse_train"]


def fmt(v):
    if isinstance(v, float):
        return f"{v:.4g}"
    return str(v)


def machine():
    cpu = "unknown cpu"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{platform.machine()}, {os.cpu_count()} cores, {cpu}, Python {platform.python_version()}"


def child_env():
    # Every BLAS call (ours, NumPy's floor, the peer's) runs on one thread: on a small
    # machine competing thread pools make timings meaningless, and the comparison stays
    # core for core.
    env = dict(os.environ)
    env["OPENBLAS_NUM_THREADS"] = "1"
    env["OMP_NUM_THREADS"] = "1"
    return env


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--csv", default=os.path.join(HERE, "results", "benchmark.csv"))
    ap.add_argument("--one", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        print(json.dumps(run_case(json.loads(args.one))))
        return
    rows = []
    print("machine:", machine(), "| BLAS on one thread")
    print(" | ".join(COLUMNS))
    for case in cases(args.quick):
        proc = subprocess.run([sys.executable, __file__, "--one", json.dumps(case)],
                              capture_output=True, text=True, env=child_env())
        if proc.returncode != 0:
            row = dict(case, fit_s=f"FAILED: {proc.stderr.strip().splitlines()[-1:]}")
        else:
            row = json.loads(proc.stdout.strip().splitlines()[-1])
        rows.append(row)
        line = " | ".join(fmt(row.get(c, "")) for c in COLUMNS)
        if isinstance(row.get("peer"), str):
            line += "   peer " + row["peer"]
        print(line, flush=True)
    os.makedirs(os.path.dirname(args.csv), exist_ok=True)
    with open(args.csv, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=COLUMNS + ["peer", "lambda"], extrasaction="ignore")
        w.writeheader()
        for r in rows:
            w.writerow(r)
    print("written", args.csv)


if __name__ == "__main__":
    main()
