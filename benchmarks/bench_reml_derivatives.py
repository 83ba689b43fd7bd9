"""Memory and time of the block-wise factor and of the REML gradient on large designs.

For n = 10^5 and 10^6 rows (p = 40, two penalties) it prints, each in a fresh interpreter
so that peak memory is the variant's own:
  blockwise R     compute_r_blockwise (1000-row blocks, only a p x p triangle carried)
  gradient        reml_gradient_blockwise without caches (block-wise factor, X'WX, X'Wy)
  gradient cached reml_gradient_blockwise with a cached X'WX and X'Wy (Cholesky factor)
  numpy X'WX      (X * w[:, None]).T @ X, for scale
with the wall time of one call and the growth of the process's peak resident memory during
it, next to the size of one n x p copy of the design.

Run from the repository root after building with -DVELKAN_TESTING=ON:
    PYTHONPATH=build/<dir>/python python3 benchmarks/bench_reml_derivatives.py
"""
import subprocess
import sys

PROBE = """
import resource, sys, time, numpy as np, _velkan_testing as T
n, p, variant = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(0)
x = rng.standard_normal((n, p)); w = rng.uniform(0.5, 2.0, n); y = rng.standard_normal(n)
half = p // 2
penalties = []
for j in range(2):
    d = np.diff(np.eye(half), 2, axis=0)
    s = np.zeros((p, p)); s[j * half:(j + 1) * half, j * half:(j + 1) * half] = d.T @ d
    penalties.append(s)
roots = [T.reml_penalty_sqrt(s) for s in penalties]
xtwx, xtwy, _ = T.fit_make_reml_cache(y, x, w)
lambdas = [1.0, 3.0]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if variant == "blockwise R":
    T.reml_compute_r_blockwise(x, w, lambdas, roots)
elif variant == "gradient":
    T.reml_gradient_blockwise(y, x, w, lambdas, penalties, roots)
elif variant == "gradient cached":
    T.reml_gradient_blockwise(y, x, w, lambdas, penalties, roots, xtwx, xtwy)
else:
    (x * w[:, None]).T @ x
elapsed = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(elapsed * 1e3, (after - before) / 1024.0)
"""

VARIANTS = ["blockwise R", "gradient", "gradient cached", "numpy X'WX"]


def main():
    print(f"{'n':>9} {'p':>4}  {'variant':<16} {'time ms':>10} {'peak growth MB':>15} "
          f"{'n x p copy MB':>14}")
    for n in (100_000, 1_000_000):
        p = 40
        for variant in VARIANTS:
            out = subprocess.run([sys.executable, "-c", PROBE, str(n), str(p), variant],
                                 capture_output=True, text=True, check=True)
            ms, mb = (float(v) for v in out.stdout.split())
            print(f"{n:>9} {p:>4}  {variant:<16} {ms:>10.1f} {mb:>15.1f} {n * p * 8 / 2**20:>14.1f}")


if __name__ == "__main__":
    main()
