"""Time and peak memory of `GAM.fit` (REML, default basis) against the cross-product floor.

Cases: gaussian with three smooths of k = 10 at n = 10^4, 10^5 and 10^6, and poisson and
binomial at n = 10^5. For each case, in a fresh subprocess so that the peak memory is the
case's own, it prints
  fit s        best of five wall times of one `fit` call on a fresh GAM (three at 10^6),
  floor s      best time of one X'WX with NumPy, (X * w[:, None]).T @ X, on a random
               n x 30 design (BLAS on one thread, as the extension runs it), in runs of
               five before and after the fits,
  ratio        fit / floor,
  peak MB      growth of the process's memory high-water mark during the first fit
               (VmHWM after resetting it through /proc/self/clear_refs, less the
               resident size before the fit),
  design MB    size of the n x p design matrix, inputs MB the size of x and y,
  mem ratio    peak / (design + inputs),
and, for the gaussian cases, the growth of the fit time per tenfold step in n.

Run from the repository root after building:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_fit.py [--max-n 100000]
"""
import argparse
import json
import os
import subprocess
import sys
import time
from measure import status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
D, K = 3, 10


def run_case(n, family):
    import numpy as np
    import velkan_core
    sys.path.insert(0, HERE)
    from simulate import simulate

    x, y, _ = simulate(n, D, family, seed=17)
    p = D * K

    # Peak memory of the first fit, measured before any timing run leaves a model behind.
    rss_before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    gam = velkan_core.GAM(family)
    gam.fit(x, y, k=[K] * D)
    peak_kib = status_kib("VmHWM") - rss_before
    del gam

    # The floor is timed in runs of five consecutive products before and after the fits
    # (its temporary of n x 30 doubles is then recycled rather than faulted in anew).
    xr = np.random.default_rng(1).uniform(size=(n, p))
    w = np.random.default_rng(2).uniform(0.5, 1.5, size=n)

    def floor_run():
        best = float("inf")
        for _ in range(5):
            t = time.perf_counter()
            (xr * w[:, None]).T @ xr
            best = min(best, time.perf_counter() - t)
        return best

    floor = floor_run()
    best = float("inf")
    for _ in range(3 if n >= 10**6 else 5):
        gam = velkan_core.GAM(family)
        t = time.perf_counter()
        gam.fit(x, y, k=[K] * D)
        best = min(best, time.perf_counter() - t)
        del gam
    floor = min(floor, floor_run())

    return dict(family=family, n=n, fit=best, floor=floor, peak_mb=peak_kib / 1024,
                design_mb=n * p * 8 / 2**20, inputs_mb=(x.nbytes + y.nbytes) / 2**20)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-n", type=int, default=10**6)
    ap.add_argument("--case", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.case:
        n, family = args.case.split(",")
        print(json.dumps(run_case(int(n), family)))
        return

    # NumPy's BLAS on one thread, as the extension runs its own.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    cases = [(n, "gaussian") for n in (10**4, 10**5, 10**6)] + [(10**5, "poisson"),
                                                               (10**5, "binomial")]
    print(f"{'family':>9} {'n':>8} {'fit s':>8} {'floor s':>8} {'ratio':>6} {'peak MB':>8} "
          f"{'design MB':>10} {'inputs MB':>10} {'mem ratio':>10}")
    gaussian = {}
    for n, family in cases:
        if n > args.max_n:
            continue
        out = subprocess.run([sys.executable, __file__, "--case", f"{n},{family}"], env=env,
                             capture_output=True, text=True, check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        mem_ratio = r["peak_mb"] / (r["design_mb"] + r["inputs_mb"])
        print(f"{family:>9} {n:>8} {r['fit']:>8.3f} {r['floor']:>8.4f} "
              f"{r['fit'] / r['floor']:>6.1f} {r['peak_mb']:>8.1f} {r['design_mb']:>10.1f} "
              f"{r['inputs_mb']:>10.1f} {mem_ratio:>10.2f}", flush=True)
        if family == "gaussian":
            gaussian[n] = r["fit"]
    ns = sorted(gaussian)
    for a, b in zip(ns, ns[1:]):
        print(f"gaussian fit time {b} / {a}: {gaussian[b] / gaussian[a]:.1f}x")


if __name__ == "__main__":
    main()
