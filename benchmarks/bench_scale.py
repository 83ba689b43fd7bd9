"""Scaling out: streamed fits from files on disk, threads, and a Dask cluster.

The data (three uniform columns, a response from `simulate.py`'s components) are written
once to raw float64 files and opened as `np.memmap`s. Each case runs in a fresh
subprocess, so that its memory high-water mark is its own:

  memmap   --rows (default 10^8) rows x 3 columns, gaussian, s(0) + s(1) + s(2), k = 10,
           streamed from the memmap, both cores, exact and binned (binning=True): fit
           time, peak memory growth of the fit's own (anonymous) memory, sampled every
           5 ms, beside VmHWM after resetting it less VmRSS before the fit (which also
           counts the memmap's file pages the fit maps again); for the binned fit both
           less the codes it holds; and two floors: one read of
           X and y (a NumPy sum over 2^20-row windows of the memmaps, one thread, the
           cache warm: best of two just before the fit) and one streamed pass through the
           same reader that evaluates the design and forms X'X (the exact fit's own pass
           at fixed weights), best of two runs around the fit.
  poisson  10^7 rows, poisson, the same terms, streamed: passes over the data (the
           summary pass included), fit time / floor.
  threads  10^6 rows in memory, gaussian and poisson: best-of-three fit times with
           n_jobs = 1 and 2, the speed-up, the process CPU time per fit, and the time of
           one pass's cross products per thread count.
  dask     10^7 rows, poisson, on a LocalCluster of two worker processes (one thread
           each) reading the memmap files by chunks of 10^6 rows: fit time against the
           single-process streamed fit and the largest coefficient difference to the
           in-memory fit; exact, and binned against the in-process binned fit.

Run from the repository root after building:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_scale.py [--rows 1e8] \
        [--cases memmap,memmap_binned,poisson,poisson_binned,threads,dask,dask_binned] [--dir /tmp]
The data files (32 bytes a row) are deleted at the end. The table is printed and written
to benchmarks/results/scale.json.
"""
import argparse
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from measure import AnonymousPeak, status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
D, K = 3, 10
WRITE_ROWS = 1 << 22


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def write_data(directory, n, family, seed):
    """Raw files X (n x 3, C order) and y (n) of float64; returns their paths."""
    import numpy as np
    sys.path.insert(0, HERE)
    from simulate import linear_predictor, mean_from_eta
    rng = np.random.default_rng(seed)
    xp, yp = os.path.join(directory, f"X_{family}_{n}.f8"), os.path.join(directory, f"y_{family}_{n}.f8")
    with open(xp, "wb") as fx, open(yp, "wb") as fy:
        for a in range(0, n, WRITE_ROWS):
            m = min(WRITE_ROWS, n - a)
            x = rng.uniform(size=(m, D))
            mu = mean_from_eta(linear_predictor(x, family), family)
            y = mu + rng.normal(size=m) if family == "gaussian" else rng.poisson(mu).astype(float)
            fx.write(x.tobytes())
            fy.write(y.tobytes())
    return xp, yp


def open_data(xp, yp):
    import numpy as np
    n = os.path.getsize(yp) // 8
    return np.memmap(xp, dtype=np.float64, mode="r", shape=(n, D)), np.memmap(yp, dtype=np.float64, mode="r")


def floor_pass(gam, X, y, threads):
    """One streamed pass at fixed weights through the fit's own reader and engine call."""
    import numpy as np
    from velkan._fit import PassProgress
    from velkan._sources import CHUNK_ROWS, WindowSource, file_or_array
    fitted = gam._fitted
    rows = CHUNK_ROWS if isinstance(X, np.memmap) else X.shape[0]
    source = WindowSource(file_or_array(X), y, None, None, rows)
    run_pass = source.pass_function(fitted.design, fitted.model, threads, PassProgress(False))
    t = time.perf_counter()
    run_pass(fitted.engine_layout(), np.zeros(fitted.beta_raw.size), False, False)
    return time.perf_counter() - t


def terms():
    from velkan import s
    return s(0, k=K) + s(1, k=K) + s(2, k=K)


def read_floor(X, y):
    """One read of X and y: a NumPy sum over 2^20-row windows of the memmaps, one thread."""
    t = time.perf_counter()
    total = 0.0
    for a in range(0, y.shape[0], 1 << 20):
        total += float(X[a:a + (1 << 20)].sum()) + float(y[a:a + (1 << 20)].sum())
    return time.perf_counter() - t


def case_streamed(xp, yp, family, binning=False):
    from velkan import GAM
    X, y = open_data(xp, yp)
    threads = os.cpu_count()
    read = min(read_floor(X, y) for _ in range(2))
    rss = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with AnonymousPeak() as anonymous:
        t = time.perf_counter()
        gam = GAM(terms(), family=family, n_jobs=threads, binning=binning).fit(X, y)
        fit = time.perf_counter() - t
    peak_mb = (status_kib("VmHWM") - rss) / 1024
    out = dict(n=int(y.shape[0]), family=family, fit=fit, read=read, passes=gam._fitted.passes,
               peak_mb=peak_mb, anon_mb=anonymous.growth_mb,
               data_mb=(X.size + y.size) * 8 / 2**20, n_iter=gam.n_iter_,
               binned=gam.binned_, load=os.getloadavg()[0])
    if binning:
        # Codes are held (one byte per column and row) unless the model needs one pass.
        out["codes_mb"] = 0.0 if gam._fitted.model.info.normal_errors else X.size / 2**20
    else:
        out["floor"] = min(floor_pass(gam, X, y, threads) for _ in range(2))
    return out


def case_threads(xp, yp, family):
    import numpy as np
    from velkan import GAM
    X, y = (np.array(a) for a in open_data(xp, yp))
    out = dict(n=int(y.shape[0]), family=family)
    for nj in (1, 2):
        best, cpu = float("inf"), float("inf")
        for _ in range(3):
            c, t = cpu_seconds(), time.perf_counter()
            gam = GAM(terms(), family=family, n_jobs=nj).fit(X, y)
            best, cpu = min(best, time.perf_counter() - t), min(cpu, cpu_seconds() - c)
        out[f"fit{nj}"], out[f"cpu{nj}"], out["passes"] = best, cpu, gam._fitted.passes
        out[f"pass{nj}"] = min(floor_pass(gam, X, y, nj) for _ in range(3))
        out[f"coef{nj}"] = gam.coef_.tolist()
    out["coef_diff"] = float(np.max(np.abs(np.subtract(out.pop("coef1"), out.pop("coef2")))))
    return out


def read_rows(path, first, last, width):
    import numpy as np
    shape = (last - first, width) if width else (last - first,)
    count = (last - first) * (width or 1)
    return np.fromfile(path, dtype=np.float64, count=count, offset=first * 8 * (width or 1)).reshape(shape)


def case_dask(xp, yp, family, binning=False):
    import dask
    import dask.array as da
    import numpy as np
    from distributed import Client, LocalCluster
    from velkan import GAM
    n = os.path.getsize(yp) // 8
    step = 10**6
    bounds = [(a, min(a + step, n)) for a in range(0, n, step)]
    dX = da.concatenate([da.from_delayed(dask.delayed(read_rows)(xp, a, b, D), shape=(b - a, D),
                                         dtype=np.float64) for a, b in bounds])
    dy = da.concatenate([da.from_delayed(dask.delayed(read_rows)(yp, a, b, 0), shape=(b - a,),
                                         dtype=np.float64) for a, b in bounds])
    X, y = open_data(xp, yp)
    t = time.perf_counter()
    GAM(terms(), family=family, n_jobs=-1, binning=binning).fit(X, y)
    stream_s = time.perf_counter() - t
    memory = GAM(terms(), family=family, n_jobs=-1, binning=binning).fit(np.array(X), np.array(y))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster):
        t = time.perf_counter()
        gam = GAM(terms(), family=family, binning=binning).fit(dX, dy)
        dask_s = time.perf_counter() - t
    return dict(n=n, family=family, dask=dask_s, streamed=stream_s, passes=gam._fitted.passes,
                coef_diff=float(np.max(np.abs(gam.coef_ - memory.coef_))),
                coef_scale=float(np.max(np.abs(memory.coef_))))


CASES = {"memmap": case_streamed, "poisson": case_streamed, "threads": case_threads, "dask": case_dask,
         "memmap_binned": lambda *a: case_streamed(*a, binning=True),
         "poisson_binned": lambda *a: case_streamed(*a, binning=True),
         "dask_binned": lambda *a: case_dask(*a, binning=True)}


def run(case, xp, yp, family):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--run", case, xp, yp, family], env=env,
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"case {case} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=float, default=1e8, help="rows of the memmap case")
    ap.add_argument("--cases", default="memmap,memmap_binned,poisson,poisson_binned,threads,dask,dask_binned")
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--run", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.run:
        case, xp, yp, family = args.run
        print(json.dumps(CASES[case](xp, yp, family)))
        return

    cases = args.cases.split(",")
    need = {"memmap": (int(args.rows), "gaussian"), "poisson": (10**7, "poisson"),
            "threads": (10**6, "gaussian"), "dask": (10**7, "poisson")}
    need.update({case + "_binned": need[case] for case in ("memmap", "poisson", "dask")})
    directory = tempfile.mkdtemp(prefix="velkan_scale_", dir=args.dir)
    results = {"machine": f"{platform.machine()}, {os.cpu_count()} cores, "
                          f"{platform.processor() or 'cpu'}, Python {platform.python_version()}"}
    try:
        files = {}
        for case in cases:
            n, family = need[case]
            if (n, family) not in files:
                t = time.perf_counter()
                files[(n, family)] = write_data(directory, n, family, seed=17)
                print(f"wrote {n} rows ({family}) in {time.perf_counter() - t:.1f} s", flush=True)
            results["load_before_" + case] = os.getloadavg()[0]
            results[case] = r = run(case, *files[(n, family)], family)
            if case == "threads":
                files[(n, "poisson")] = write_data(directory, n, "poisson", seed=17)
                results["threads_poisson"] = run(case, *files[(n, "poisson")], "poisson")
            print(case, json.dumps(r), flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "scale.json"), "w") as f:
        json.dump(results, f, indent=1)
    table(results)


def table(r):
    print(f"\nmachine: {r['machine']}\n")
    print("| target | measured | met |\n|---|---|---|")
    for key in ("memmap", "memmap_binned"):
        if key in r:
            m = r[key]
            growth = m["anon_mb"] - m.get("codes_mb", 0.0)
            print(f"| {m['n']:.0e} rows memmap, gaussian, {'binned' if m['binned'] else 'exact'}: peak memory "
                  f"growth <= 500 MB{' beyond the codes' if m['binned'] else ''} | {growth:.0f} MB "
                  f"(VmHWM with file pages {m['peak_mb'] - m.get('codes_mb', 0.0):.0f} MB; data "
                  f"{m['data_mb']:.0f} MB) | {'yes' if growth <= 500 else 'no'} |")
            ratio = m["fit"] / m["read"]
            print(f"| same: fit <= 4 x one read of X and y | fit {m['fit']:.2f} s, read {m['read']:.2f} s: "
                  f"{ratio:.1f} x (load {m['load']:.1f}) | {'yes' if ratio <= 4 else 'no'} |")
            if "floor" in m:
                print(f"| same: fit <= 3 x one streamed X'X pass | pass {m['floor']:.1f} s: "
                      f"{m['fit'] / m['floor']:.2f} x | {'yes' if m['fit'] / m['floor'] <= 3 else 'no'} |")
    for key in ("poisson", "poisson_binned"):
        if key in r:
            m = r[key]
            floor = f", pass {m['floor']:.2f} s: {m['fit'] / m['floor']:.1f} x" if "floor" in m else ""
            print(f"| {m['n']:.0e} rows poisson streamed, {'binned' if m['binned'] else 'exact'} | "
                  f"{m['passes']} passes, fit {m['fit']:.1f} s{floor}, read {m['read']:.2f} s |  |")
    for key in ("threads", "threads_poisson"):
        if key in r:
            m = r[key]
            print(f"| {m['n']:.0e} rows {m['family']}: n_jobs=2 >= 1.7 x n_jobs=1 | fit {m['fit1']:.3f} s / "
                  f"{m['fit2']:.3f} s = {m['fit1'] / m['fit2']:.2f} x; one pass {m['pass1']:.3f} s / "
                  f"{m['pass2']:.3f} s = {m['pass1'] / m['pass2']:.2f} x; CPU per fit {m['cpu1']:.3f} s / "
                  f"{m['cpu2']:.3f} s | {'yes' if m['fit1'] / m['fit2'] >= 1.7 else 'no'} |")
    for key, tol in (("dask", 1e-8), ("dask_binned", 1e-10)):
        if key in r:
            m = r[key]
            what = "binned, equal to the in-process binned fit" if key == "dask_binned" else "equal to in-memory fit"
            print(f"| {m['n']:.0e} rows poisson, LocalCluster 2 workers, {what} | max coef "
                  f"difference {m['coef_diff']:.1e} (coefs up to {m['coef_scale']:.1f}); dask {m['dask']:.1f} s vs "
                  f"streamed {m['streamed']:.1f} s, {m['passes']} passes | "
                  f"{'yes' if m['coef_diff'] <= tol * max(1, m['coef_scale']) else 'no'} |")


if __name__ == "__main__":
    main()
