"""A billion rows from disk: binned (and exact) fits of .npy files larger than memory.

Writes X (--rows x 3 uniform columns, float64, C order: 24 GB at 10^9 rows) and two
responses (gaussian and poisson, 8 GB each) as .npy files with `simulate.py`'s
components, then, each in a fresh process with the files' pages dropped from the page
cache first (posix_fadvise DONTNEED on the synced files, so no privileges are needed):

  read      one read of X and the gaussian y (sequential reads of 64 MB): the floor
  gaussian  GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + s(2, k=10, bs="ps"), binning=True, n_jobs=-1).fit("X.npy", "y.npy")
  poisson   the same, family="poisson" (the rows gathered by their codes into 2^24 cells,
            which every pass of the fit reads instead of the files)
  exact     the gaussian fit with binning=False (--exact; about 2.5 minutes a 10^9 rows)

Reports wall time, passes and peak resident memory (VmHWM, including file pages mapped
while a window is read) per case, with the load average before it. Needs about
(40 bytes x rows) of free disk in --dir and deletes everything it wrote at the end, also
after an error or Ctrl-C.

    PYTHONPATH=build/dev/python python3 benchmarks/bench_billion.py [--rows 1e9] [--dir /work/tmp] [--exact]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WRITE_ROWS = 1 << 24
READ_BYTES = 1 << 26


def write_npy(path, shape):
    import numpy as np
    f = open(path, "wb")
    np.lib.format.write_array_header_2_0(f, {"descr": "<f8", "fortran_order": False, "shape": shape})
    return f


def write_data(directory, n, seed=17):
    import numpy as np
    sys.path.insert(0, HERE)
    from simulate import linear_predictor, mean_from_eta
    rng = np.random.default_rng(seed)
    paths = {k: os.path.join(directory, k + ".npy") for k in ("X", "y_gaussian", "y_poisson")}
    files = {k: write_npy(p, (n, 3) if k == "X" else (n,)) for k, p in paths.items()}
    try:
        for a in range(0, n, WRITE_ROWS):
            m = min(WRITE_ROWS, n - a)
            x = rng.uniform(size=(m, 3))
            files["X"].write(x.tobytes())
            files["y_gaussian"].write((linear_predictor(x, "gaussian") + rng.normal(size=m)).tobytes())
            mu = mean_from_eta(linear_predictor(x, "poisson"), "poisson")
            files["y_poisson"].write(rng.poisson(mu).astype(np.float64).tobytes())
    finally:
        for f in files.values():
            f.flush()
            os.fsync(f.fileno())
            f.close()
    return paths


def drop_cache(paths):
    """Evicts the files' pages from the page cache (they are clean: written and synced)."""
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def peak_mb():
    from measure import status_kib
    return status_kib("VmHWM") / 1024


def run_case(case, paths):
    if case == "read":
        t = time.perf_counter()
        buf = bytearray(READ_BYTES)
        for p in (paths["X"], paths["y_gaussian"]):
            with open(p, "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass
        return dict(seconds=time.perf_counter() - t, peak_mb=peak_mb())
    import numpy as np
    from velkan import GAM, s
    family = "poisson" if case == "poisson" else "gaussian"
    t = time.perf_counter()
    y = np.load(paths["y_" + family], mmap_mode="r")  # read window by window like X
    gam = GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + s(2, k=10, bs="ps"), family=family, n_jobs=-1, binning=case != "exact").fit(paths["X"], y)
    return dict(seconds=time.perf_counter() - t, passes=gam._fitted.passes, n_iter=gam.n_iter_,
                binned=gam.binned_, peak_mb=peak_mb(), coef=gam.coef_[:4].tolist())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=float, default=1e9)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--exact", action="store_true", help="also the exact gaussian fit")
    ap.add_argument("--run", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.run:
        print(json.dumps(run_case(args.run[0], json.loads(args.run[1]))))
        return
    n = int(args.rows)
    need = 40 * n * 1.1
    free = shutil.disk_usage(args.dir).free
    if free < need:
        sys.exit(f"{args.dir} has {free / 1e9:.0f} GB free; the data need {need / 1e9:.0f} GB")
    directory = tempfile.mkdtemp(prefix="velkan_billion_", dir=args.dir)
    results = {"rows": n, "cases": {}}
    try:
        t = time.perf_counter()
        paths = write_data(directory, n)
        results["write_s"] = time.perf_counter() - t
        print(f"wrote {n} rows in {results['write_s']:.0f} s", flush=True)
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        for case in ["read", "gaussian", "poisson"] + (["exact"] if args.exact else []):
            drop_cache(paths.values())
            load = os.getloadavg()[0]
            out = subprocess.run([sys.executable, __file__, "--run", case, json.dumps(paths)],
                                 env=env, capture_output=True, text=True, cwd=HERE)
            if out.returncode != 0:
                raise RuntimeError(f"case {case} failed:\n{out.stderr}")
            r = json.loads(out.stdout.strip().splitlines()[-1])
            r["load_before"] = load
            results["cases"][case] = r
            print(case, json.dumps(r), flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "billion.json"), "w") as f:
        json.dump(results, f, indent=1)
    table(results)


def table(r):
    c = r["cases"]
    read = c["read"]["seconds"]
    print(f"\n{r['rows']:.0e} rows, cache dropped before each case; one read of X and y: {read:.1f} s\n")
    print("| fit | seconds | / read | passes | peak resident MB | load before |\n|---|---|---|---|---|---|")
    for case in ("gaussian", "poisson", "exact"):
        if case in c:
            m = c[case]
            label = f"{'gaussian' if case != 'poisson' else 'poisson'}, {'binned' if m['binned'] else 'exact'}"
            print(f"| {label} | {m['seconds']:.1f} | {m['seconds'] / read:.2f} | {m['passes']} | "
                  f"{m['peak_mb']:.0f} | {m['load_before']:.1f} |")


if __name__ == "__main__":
    main()
