"""The Fellner-Schall search: its update against a NumPy transcription, clamps, bounds,
rank-0 penalties, the trace diagnostic and the profile lines."""
import re

import numpy as np
import pytest

import _velkan_testing as t
from tests.helpers import run_python
from tests.search.problems import additive

LOG_MIN, LOG_MAX = np.log(1e-7), np.log(1e5)
HALF_LOG5 = 0.5 * np.log(5.0)


def fellner_schall_reference(x, w, pens, iterations=10):
    """NumPy version of the update: rho += 0.5 ln clamp(tr(L^-1 S_i) / rank_i)."""
    m, p = len(pens), x.shape[1]
    xtwx = (x * w[:, None]).T @ x
    ranks = [np.sum(np.linalg.eigvalsh(s) > 1e-10 * max(np.linalg.eigvalsh(s).max(), 1.0))
             for s in pens]
    rho = np.zeros(m)
    for _ in range(iterations):
        a = xtwx + sum(np.exp(r) * s for r, s in zip(rho, pens))
        a += 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(a)).max()) * np.eye(p)
        linv = np.linalg.inv(np.linalg.cholesky(a))
        new = rho.copy()
        for i, s in enumerate(pens):
            ratio = np.trace(linv @ s) / ranks[i] if ranks[i] > 0 else 1.0
            new[i] = np.clip(rho[i] + 0.5 * np.log(np.clip(ratio, 0.2, 5.0)), LOG_MIN, LOG_MAX)
        if np.abs(new - rho).max(initial=0) < 1e-6:
            return np.exp(new)
        rho = new
    return np.exp(rho)


def scaled_identities(scales, k=10, n=40):
    """X = 0 and S_i = c_i I on block i: the trace ratio of penalty i is sqrt(c_i / lambda_i)."""
    p = k * len(scales)
    pens = []
    for i, c in enumerate(scales):
        s = np.zeros((p, p))
        s[i * k:(i + 1) * k, i * k:(i + 1) * k] = c * np.eye(k)
        pens.append(s)
    return np.ones(n), np.zeros((n, p)), np.ones(n), pens


def fs(y, x, w, pens, lam0=None, direct=False):
    lam0 = np.ones(len(pens)) if lam0 is None else np.asarray(lam0, dtype=float)
    return t.search_optimize(y, x, w, pens, lam0, algorithm="FellnerSchall", direct=direct)


@pytest.fixture
def profile(monkeypatch, capsys):
    monkeypatch.setenv("VELKAN_PROFILE", "")
    monkeypatch.delenv("VELKAN_TRACE_DEBUG", raising=False)
    return lambda: capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("ks, n", [([10], 200), ([10, 12], 400), ([8, 10, 10, 6], 500)])
def test_update_matches_reference(ks, n):
    y, x, w, pens = additive(n, ks, seed=n)
    w = np.random.default_rng(n).uniform(0.5, 2.0, n)
    lam, err = fs(y, x, w, pens)
    assert err is None
    np.testing.assert_allclose(lam, fellner_schall_reference(x, w, pens), rtol=1e-8)


def test_clamps_and_rank_zero(profile):
    # Ratios 0.01 and 100 are clamped to 0.2 and 5; the all-zero penalty keeps ratio 1.
    y, x, w, pens = scaled_identities([1e-4, 1e4, 0.0])
    lam, err = fs(y, x, w, pens)
    out = profile()
    first = [l for l in out if l.startswith("[PROFILE] FS iter 0:")]
    ratios = [float(re.search(r"ratio=(\d+\.\d{3})", l).group(1)) for l in first]
    assert ratios[0] < 0.2 and ratios[1] > 5.0
    assert first[0].endswith(", change=0.804719") and first[1].endswith(", change=0.804719")
    assert first[2] == ("[PROFILE] FS iter 0: smooth 2: λ=1.000000, trace=0.000000, rank=0, "
                        "ratio=1.000, change=0.000000")
    assert out[-1] == "[PROFILE] Fellner-Schall reached max iterations (10) without convergence"
    rho = np.log(lam)
    # The first eight updates of each are clamped (ratio stays beyond [0.2, 5]).
    assert rho[0] < -8 * HALF_LOG5 + 1e-9 and rho[1] > 8 * HALF_LOG5 - 1e-9
    assert rho[2] == 0.0 and err is None


@pytest.mark.parametrize("scale, lam0, bound", [(1e12, 1e4, 1e5), (1e-8, 1e-6, 1e-7)])
def test_bounds_hold(profile, scale, lam0, bound):
    y, x, w, pens = scaled_identities([scale])
    lam, err = fs(y, x, w, pens, [lam0], direct=True)
    out = profile()
    assert err is None and lam[0] == pytest.approx(bound, rel=1e-12)
    changes = [float(l.rsplit("=", 1)[1]) for l in out if "FS iter" in l]
    # Two clamped steps, one cut short by the bound, then no change at all.
    assert changes[:2] == pytest.approx([HALF_LOG5] * 2, abs=1e-6)
    assert 0 < changes[2] < HALF_LOG5 and changes[3:] == [0.0]
    assert out[-1] == f"[PROFILE] Fellner-Schall converged in {len(changes)} iterations"


def test_trace_line_only_in_first_iteration(monkeypatch, capsys):
    monkeypatch.setenv("VELKAN_TRACE_DEBUG", "")
    monkeypatch.delenv("VELKAN_PROFILE", raising=False)
    y, x, w, pens = additive(300, [10, 12, 8])
    fs(y, x, w, pens)
    out = capsys.readouterr().out.splitlines()
    assert [l.split(":")[0] for l in out] == [f"[TRACE_DEBUG] Smooth {i}" for i in range(3)]
    # Each penalty is non-zero on its own block only, so both traces agree.
    for line, k in zip(out, [10, 12, 8]):
        full, nonzero = re.findall(r"trace=(-?\d+\.\d{6})", line)
        assert full == nonzero and line.endswith(f"nonzero_cols={k}, p=30")


def test_no_penalties(profile):
    y, x, w, _ = additive(100, [10])
    lam, err = fs(y, x, w, [])
    assert err is None and lam.size == 0
    assert profile() == ["[PROFILE] Starting Fellner-Schall optimization (Cholesky)",
                         "[PROFILE] Fellner-Schall converged in 1 iterations"]


def test_unfactorisable_matrix_is_singular():
    # A negative definite "penalty" has no square root (rank 0) and makes A indefinite
    # even after both ridges.
    y, x, w, pens = additive(100, [10])
    lam, err = fs(y, x, w, [-1e6 * np.eye(10)])
    assert err == "Singular matrix encountered" and lam.tolist() == [1.0]


RUN = """
import numpy as np, _velkan_testing as t
from scipy.interpolate import BSpline
rng = np.random.default_rng(3)
x = rng.uniform(0, 1, 200)
X = BSpline.design_matrix(x, np.r_[[-.3, -.2, -.1], np.linspace(0, 1, 8), [1.1, 1.2, 1.3]], 3).toarray()
d = np.diff(np.eye(10), 2, axis=0)
y = np.sin(6 * x) + 0.2 * rng.standard_normal(200)
print(t.search_optimize(y, X, np.ones(200), [d.T @ d], np.ones(1), algorithm="FellnerSchall")[1])
"""


def test_profile_lines_in_a_process():
    out = run_python(RUN, env_extra={"VELKAN_PROFILE": "", "VELKAN_TRACE_DEBUG": ""}).stdout
    lines = out.splitlines()
    assert lines[0] == "[PROFILE] Starting Fellner-Schall optimization (Cholesky)"
    assert re.fullmatch(r"\[TRACE_DEBUG\] Smooth 0: full_trace=\d+\.\d{6}, nonzero_trace=\d+\.\d{6}, "
                        r"nonzero_cols=10, p=10", lines[1])
    fs_lines = lines[2:-2]
    assert fs_lines and all(re.fullmatch(
        rf"\[PROFILE\] FS iter {i}: smooth 0: λ=\d+\.\d{{6}}, trace=\d+\.\d{{6}}, rank=8, "
        r"ratio=\d+\.\d{3}, change=\d\.\d{6}", l) for i, l in enumerate(fs_lines))
    assert re.fullmatch(r"\[PROFILE\] Fellner-Schall (converged in \d+ iterations|reached max "
                        r"iterations \(10\) without convergence)", lines[-2])
    assert lines[-1] == "None"
    quiet = run_python(RUN, unset=("VELKAN_PROFILE", "VELKAN_TRACE_DEBUG")).stdout
    assert quiet == "None\n"
