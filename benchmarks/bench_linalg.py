"""Weighted cross products of the core against NumPy.

Prints, for each design size, the best of three wall times of
  core        X'WX, X'Wy and y'Wy in one chunked pass (the REML cache the fits build,
              through the test module: sqrt(w)-scaled copies + dsyrk),
  numpy X'WX  (X * w[:, None]).T @ X,
  numpy X'X   X.T @ X (no weights, no copy: a lower bound for any weighted form),
  numpy X'Wy  X.T @ (w * y),
and the extra peak resident memory of the core pass and of NumPy's X'WX on a 1e6 x 30 design.

Run from the repository root after building with -DVELKAN_TESTING=ON:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_linalg.py
"""
import subprocess
import sys

import numpy as np

import _velkan_testing as T
from measure import best_seconds

SIZES = [(100_000, 30), (1_000_000, 30), (100_000, 60), (1_000_000, 60)]
REPEATS = 3


def best_of(fn):
    return best_seconds(fn, REPEATS)[0] * 1e3


# Run in a fresh interpreter per variant so each sees only its own peak. The high-water
# mark is read from /proc (VmHWM): getrusage's ru_maxrss would carry over the parent's
# peak across fork and exec.
MEMORY_PROBE = """
import sys, numpy as np, _velkan_testing as T
def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
rng = np.random.default_rng(0)
x = rng.standard_normal((1_000_000, 30)); w = rng.uniform(0.5, 2.0, 1_000_000)
before = peak_kib()
if sys.argv[1] == "core":
    T.fit_make_reml_cache(np.zeros(len(w)), x, w)
else:
    (x * w[:, None]).T @ x
print((peak_kib() - before) / 1024.0, x.nbytes / 2**20)
"""


def extra_peak_mib(variant):
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, variant], capture_output=True,
                           text=True, check=True)
    return tuple(map(float, probe.stdout.split()))


def main():
    rng = np.random.default_rng(0)
    header = (f"{'n':>9} {'p':>3} | {'core':>10} {'numpy XtWX':>10} {'numpy XtX':>10} "
              f"{'numpy XtWy':>10}   (ms, best of {REPEATS})")
    print(header)
    print("-" * len(header))
    for n, p in SIZES:
        x = rng.standard_normal((n, p))
        w = rng.uniform(0.5, 2.0, n)
        y = rng.standard_normal(n)
        core = T.fit_make_reml_cache(y, x, w)[0]
        ref = (x * w[:, None]).T @ x
        assert np.allclose(core, ref, rtol=1e-10, atol=1e-8 * np.abs(ref).max())
        times = [
            best_of(lambda: T.fit_make_reml_cache(y, x, w)),
            best_of(lambda: (x * w[:, None]).T @ x),
            best_of(lambda: x.T @ x),
            best_of(lambda: x.T @ (w * y)),
        ]
        print(f"{n:>9} {p:>3} | {times[0]:>10.1f} {times[1]:>10.1f} {times[2]:>10.1f} {times[3]:>10.1f}")
    core, design = extra_peak_mib("core")
    numpy_extra, _ = extra_peak_mib("numpy")
    print(f"\nextra peak RSS of one X'WX on 1e6 x 30 (design {design:.0f} MiB): "
          f"core {core:.1f} MiB, numpy {numpy_extra:.1f} MiB")


if __name__ == "__main__":
    main()
