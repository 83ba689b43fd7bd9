"""The multi-smooth Newton search, its profile trace and the cached REML derivatives."""
import re

import numpy as np
import pytest

import _velkan_testing as t
import velkan_core as v
from tests.helpers import run_python
from tests.reml.derivative_problems import additive_problem, fd_gradient
from tests.search.problems import additive

# Number formats of the trace lines.
TIME = r"\d+\.\d\d"
F6 = r"-?\d+\.\d{6}"
E6 = r"-?\d\.\d{6}e-?\d+"
VEC = r"\[(?:-?\d+(?:\.\d+)?(?:, )?)*\]"
PROFILE_LINES = {
    "sqrt": rf"\[PROFILE\] Pre-computed sqrt_penalties: {TIME}ms",
    "xtwx": rf"\[PROFILE\] Pre-computed X'WX and X'Wy: {TIME}ms",
    "timing": rf"\[PROFILE\]     Gradient: {TIME}ms, Hessian: {TIME}ms",
    "diag": rf"\[PROFILE\]   Hessian diag range: \[{E6}, {E6}\], condition: \d\.\d\de-?\d+",
    "precond": rf"\[PROFILE\]   Preconditioner: {VEC}",
    "iter": rf"\[PROFILE\] Newton iter (\d+): grad_L2=({F6}), grad_Linf=({F6}), REML=({F6}), "
            rf"REML_change=(inf|{E6})",
    "lambda": rf"\[PROFILE\]   lambda=({VEC})",
    "log_lambda": rf"\[PROFILE\]   log_lambda=({VEC})",
    "gradient": rf"\[PROFILE\]   gradient=({VEC})",
    "search": rf"\[PROFILE\]   Line search: step_norm=({F6}), current_REML={F6}, max_half=(\d+)",
    "slope": rf"\[PROFILE\]     grad·step={E6} \(expect decrease\)",
    "half": rf"\[PROFILE\]     half=([0-2]): scale=\d\.\d{{4}}, REML={F6}, armijo=(true|false)",
    "best": r"\[PROFILE\]   Best step scale: \d\.\d{4}",
    "armijo": r"\[PROFILE\]   Armijo condition satisfied, accepting scale=\d\.\d{4}",
    "ls_time": rf"\[PROFILE\]     Line search: {TIME}ms",
    "accepted": r"\[PROFILE\]   Accepted Newton step, scale=\d\.\d{4}",
    "converged": rf"\[PROFILE\] Converged after \d+ iterations \((gradient criterion: {F6} < 0\.05"
                 rf"|REML change: \d\.\d\de-?\d+ < 1e-5)\)",
}

RUN_OPTIMIZE = """
import numpy as np, _velkan_testing as t
d = np.load({path!r})
pens = [d["s%d" % j] for j in range(int(d["m"]))]
lam, err = t.search_optimize(d["y"], d["x"], d["w"], pens, np.ones(len(pens)))
print("RESULT", repr(lam.tolist()), err)
"""


def classify(line):
    for name, pattern in PROFILE_LINES.items():
        if re.fullmatch(pattern, line):
            return name
    return None


def vec(text):
    return np.array([float(s) for s in text.strip("[]").split(",") if s.strip()])


@pytest.fixture(scope="module")
def two_smooths(tmp_path_factory):
    y, x, w, pens = additive(500, [10, 10])
    path = str(tmp_path_factory.mktemp("newton") / "two.npz")
    np.savez(path, y=y, x=x, w=w, m=len(pens), **{"s%d" % j: s for j, s in enumerate(pens)})
    return (y, x, w, pens), path


class TestProfileTrace:
    def test_every_line_has_its_format_and_order(self, two_smooths):
        (y, x, w, pens), path = two_smooths
        out = run_python(RUN_OPTIMIZE.format(path=path), env_extra={"VELKAN_PROFILE": ""},
                         unset=("VELKAN_GRAD_DEBUG",)).stdout.splitlines()
        result = eval(out[-1].split(" ", 1)[1].rsplit(" ", 1)[0])
        kinds = [classify(line) for line in out[:-1]]
        assert None not in kinds, [l for l, k in zip(out, kinds) if k is None]
        assert kinds[:10] == ["sqrt", "xtwx", "timing", "diag", "precond", "iter", "lambda",
                              "log_lambda", "gradient", "search"]
        assert kinds[-1] == "converged"
        iters = [re.fullmatch(PROFILE_LINES["iter"], l).groups() for l in out if "Newton iter" in l]
        assert iters[0][4] == "inf" and "inf" not in [i[4] for i in iters[1:]]
        assert [int(i[0]) for i in iters] == list(range(1, len(iters) + 1))
        # max_half follows the gradient's max-norm of the same iteration.
        searches = [re.fullmatch(PROFILE_LINES["search"], l).groups() for l in out
                    if "step_norm=" in l]
        for it, (_, max_half) in zip(iters, searches):
            g = float(it[2])
            assert int(max_half) == (10 if g < 0.1 else 20 if g < 1.0 else 30)
        # The stored lambda is the one printed with the converging iteration, and its REML
        # is the criterion there.
        last_lambda = vec(re.fullmatch(PROFILE_LINES["lambda"],
                                       [l for l in out if "   lambda=" in l][-1]).group(1))
        np.testing.assert_allclose(result, last_lambda, rtol=1e-12)
        score = t.fit_reml_criterion(y, x, w, list(result), pens)
        assert abs(float(iters[-1][3]) - score) < 1e-6 + 1e-9 * abs(score)

    def test_silent_without_variables(self, two_smooths):
        _, path = two_smooths
        res = run_python(RUN_OPTIMIZE.format(path=path),
                         unset=("VELKAN_PROFILE", "VELKAN_GRAD_DEBUG", "VELKAN_HESS_DEBUG",
                                "VELKAN_TRACE_DEBUG"))
        assert res.stdout.startswith("RESULT") and res.stdout.count("\n") == 1

    def test_raw_hessian_block(self, two_smooths):
        (y, x, w, pens), path = two_smooths
        out = run_python(RUN_OPTIMIZE.format(path=path), env_extra={"VELKAN_GRAD_DEBUG": ""},
                         unset=("VELKAN_PROFILE",)).stdout
        m = re.search(rf"\n\[SMOOTH_DEBUG\] Raw Hessian at λ=\[1, 1\]:\n"
                      rf"  H\[0,0\]=({E6})  H\[0,1\]=({E6})\n  H\[1,0\]=({E6})  H\[1,1\]=({E6})\n"
                      rf"\[SMOOTH_DEBUG\] Gradient: ({VEC})\n", out)
        assert m, out[:3000]
        _, hess = t.search_cached_derivatives(y, x, w, [1.0, 1.0], pens)
        np.testing.assert_allclose([float(s) for s in m.groups()[:4]], hess.ravel(), rtol=1e-6)
        np.testing.assert_allclose(vec(m.group(5)),
                                   t.reml_gradient_blockwise(y, x, w, [1.0, 1.0], pens),
                                   rtol=1e-12)
        assert out.count("[SMOOTH_DEBUG] Raw Hessian") == len(re.findall("Gradient: \\[", out))


def search(score, grad, hess, rho0, grad_uncached=None):
    """Runs the Newton search on an objective over rho; returns (final rho, rho of every
    score evaluation)."""
    calls = []

    def s(lam):
        rho = np.log(lam)
        calls.append(rho)
        return score(rho)

    def wrap(f):
        return lambda lam: np.atleast_1d(np.asarray(f(np.log(lam)), dtype=float))

    lam = t.search_newton_objective(
        s, wrap(grad), wrap(grad_uncached or grad),
        lambda lam: np.atleast_2d(np.asarray(hess(np.log(lam)), dtype=float)),
        np.exp(np.asarray(rho0, dtype=float)))
    return np.log(lam), calls


@pytest.fixture
def profile(monkeypatch, capsys):
    monkeypatch.setenv("VELKAN_PROFILE", "")
    monkeypatch.delenv("VELKAN_GRAD_DEBUG", raising=False)
    return lambda: capsys.readouterr().out.splitlines()


class TestSearchDecisions:
    def test_step_capped_and_full_step_kept(self, profile):
        # Newton step 6 from rho = 0: capped to norm 4; the full step passes Armijo while
        # half 1 is worse, so the search stops at half 1 and keeps scale 1.
        rho, _ = search(lambda r: 0.5 * (r[0] - 6) ** 2, lambda r: r - 6, lambda r: 1.0, [0.0])
        out = profile()
        first = out[out.index(next(l for l in out if "step_norm=" in l)):]
        assert "step_norm=4.000000" in first[0]
        assert first[2].endswith("half=0: scale=1.0000, REML=2.000000, armijo=true")
        assert first[3].endswith("half=1: scale=0.5000, REML=8.000000, armijo=true")
        assert first[4] == "[PROFILE]   Best step scale: 1.0000"
        assert first[6] == "[PROFILE]   Accepted Newton step, scale=1.0000"
        assert "[PROFILE]   log_lambda=[4]" in out
        assert out[-1].startswith("[PROFILE] Converged after 3 iterations (gradient criterion:")
        assert rho[0] == pytest.approx(6.0, abs=1e-5)

    def test_first_two_iterations_never_stop_on_reml_change(self, profile):
        # The score barely moves (relative change 5e-10) while the gradient stays at 0.5.
        rho, _ = search(lambda r: 100 - 1e-7 * r[0], lambda r: -0.5, lambda r: 1.0, [0.0])
        out = profile()
        changes = [re.fullmatch(PROFILE_LINES["iter"], l).group(5) for l in out
                   if "Newton iter" in l]
        assert changes[0] == "inf" and float(changes[1]) < 1e-5 and len(changes) == 3
        assert out[-1] == "[PROFILE] Converged after 3 iterations (REML change: 5.00e-10 < 1e-5)"
        assert rho[0] == pytest.approx(1.0, rel=1e-6)

    @pytest.mark.parametrize("g, max_half, exit_line", [
        (0.07, 10, "[PROFILE] Converged after 1 iterations (gradient 0.070000 < 0.1, "
                   "no further progress possible)"),
        (0.5, 20, "[PROFILE]   Gradient 0.500000 still too large (tolerance=0.100000), stopping"),
        (1.5, 30, "[PROFILE]   Gradient 1.500000 still too large (tolerance=0.100000), stopping"),
    ])
    def test_halving_budget_and_stall_exits(self, profile, g, max_half, exit_line):
        # No trial ever beats the start point.
        rho, calls = search(lambda r: 10.0 if r[0] == 0 else 11.0, lambda r: g, lambda r: 1.0,
                            [0.0])
        out = profile()
        assert f"max_half={max_half}" in next(l for l in out if "step_norm=" in l)
        trials = np.array([c[0] for c in calls[1:max_half + 2]])
        np.testing.assert_allclose(trials / trials[0], 0.5 ** np.arange(max_half + 1))
        assert [l[-5:] for l in out if " half=" in l] == ["false"] * 3
        assert "[PROFILE]   Newton step too small (scale=0.000e0), checking gradient" in out
        assert exit_line in out
        if g >= 0.1:  # the stopping exit: fallback tried, closing line printed
            assert len(calls) == 1 + (max_half + 1) + 3
            assert "[PROFILE]   Steepest descent failed at all scales" in out
            assert out[-1] == "[PROFILE] Reached max iterations (10) without convergence"
        else:
            assert len(calls) == 1 + max_half + 1 and out[-1] == exit_line
        assert rho[0] == 0.0

    def test_steepest_descent_fallback(self, profile):
        # A cached gradient of the wrong sign makes the Newton step point uphill; the
        # fallback moves by -0.01 g (the uncached gradient) each iteration until the cap.
        rho, _ = search(lambda r: 10 + r[0], lambda r: -0.5, lambda r: 1.0, [0.0],
                        grad_uncached=lambda r: 0.5)
        out = profile()
        assert "[PROFILE]   Newton failed, trying steepest descent" in out
        assert "[PROFILE]     SD scale=0.01: REML=9.995000 (current=10.000000, improvement=true)" in out
        assert "[PROFILE]   Steepest descent succeeded (scale=0.01): REML=9.995000" in out
        assert out[-1] == "[PROFILE] Reached max iterations (10) without convergence"
        assert rho[0] == pytest.approx(-0.05, abs=1e-12)

    def test_numerical_limit_exit(self, profile):
        rho, _ = search(lambda r: 10.0 if r[0] == 0 else 11.0, lambda r: 0.5, lambda r: 1.0, [0.0],
                        grad_uncached=lambda r: 0.05)
        out = profile()
        assert out[-1] == ("[PROFILE] Converged after 1 iterations (gradient 0.050000 < 0.100000 "
                           "at numerical limit)")
        assert rho[0] == 0.0

    def test_failed_trials_are_skipped(self, profile):
        def score(r):
            if r[0] != 0:
                raise ArithmeticError("no score here")
            return 1.0

        search(score, lambda r: 0.07, lambda r: 1.0, [0.0])
        out = profile()
        errors = [l for l in out if "ERROR" in l]
        assert errors == [f"[PROFILE]     half={h}: ERROR (numerical issue)" for h in range(3)]

    @pytest.mark.parametrize("broken", ["score", "grad", "hess"])
    def test_errors_end_the_search(self, profile, broken):
        def fail(r):
            raise ArithmeticError("broken " + broken)

        parts = {"score": lambda r: 1.0, "grad": lambda r: 1.0, "hess": lambda r: 1.0}
        parts[broken] = fail
        with pytest.raises(ValueError, match=f"^Invalid parameter: broken {broken}$"):
            search(parts["score"], parts["grad"], parts["hess"], [0.0])


class TestOptimize:
    def test_no_penalties(self, profile):
        y, x, w, _ = additive(200, [10])
        lam, err = t.search_optimize(y, x, w, [], np.ones(0))
        out = profile()
        assert err is None and lam.size == 0
        assert len([l for l in out if "Newton iter" in l]) == 1
        assert out[-1] == "[PROFILE] Converged after 1 iterations (gradient criterion: 0.000000 < 0.05)"

    @pytest.mark.parametrize("lam0, kwargs, message", [
        ([3.0, 4.0, 5.0], {}, "Number of penalties must match number of lambdas"),
        ([3.0], {"method": "GCV"}, "Number of penalties must match number of lambdas"),
        ([3.0, 4.0], {"m": 1}, "Number of penalties must match number of lambdas"),
        ([3.0, 4.0], {"y_cut": 1}, "X has 300 rows but y has 299 elements"),
    ])
    def test_bad_input_fails_before_reset(self, lam0, kwargs, message):
        y, x, w, pens = additive(300, [10, 10])
        y = y[:len(y) - kwargs.pop("y_cut", 0)]
        lam, err = t.search_optimize(y, x, w, pens, np.array(lam0), **kwargs)
        assert err == "Matrix dimension mismatch: " + message
        np.testing.assert_array_equal(lam, lam0)

    def test_single_smooth_reaches_the_criterion_minimum(self):
        y, x, w, pens = additive(300, [12], seed=4)
        lam, err = t.search_optimize(y, x, w, pens, np.array([7.0]))
        assert err is None
        grid = np.linspace(-5, 10, 1501)
        scores = [t.fit_reml_criterion(y, x, w, [float(np.exp(r))], pens) for r in grid]
        assert abs(np.log(lam[0]) - grid[np.argmin(scores)]) < 0.1
        assert abs(t.reml_gradient_blockwise(y, x, w, list(lam), pens)[0]) < 0.05

    @pytest.mark.parametrize("n, seed", [(400, 1), (400, 4), (1500, 3)])
    def test_four_cubic_regression_smooths_converge(self, profile, n, seed):
        # Four smooths, one of them without signal: with a criterion ridge that followed
        # the penalized diagonal, these searches ended at the iteration cap (the score's
        # slope disagreed with the gradient by up to 0.3). Now the gradient criterion
        # ends them, at a point where the score itself is flat.
        y, x, S = additive_problem(np.random.default_rng(seed), n, 4)
        w = np.ones(n)
        lam, err = t.search_optimize(y, x, w, S, np.ones(4))
        out = profile()
        assert err is None
        assert re.fullmatch(r"\[PROFILE\] Converged after \d+ iterations \(gradient criterion: "
                            rf"{F6} < 0\.05\)", out[-1]), out[-1]
        assert not any(l.startswith("[PROFILE] Reached max iterations") for l in out)
        assert abs(fd_gradient(y, x, w, lam, S)).max() < 0.05


def fd(f, rho, h=1e-4):
    """Central differences of f (scalar or vector valued) along each rho_i, as columns."""
    cols = []
    for i in range(len(rho)):
        e = np.zeros(len(rho))
        e[i] = h
        cols.append((np.asarray(f(rho + e)) - np.asarray(f(rho - e))) / (2 * h))
    return np.array(cols).T


class TestCachedDerivatives:
    @pytest.mark.parametrize("ks, weighted, offset", [
        ([10], False, 0.0), ([10, 10], False, 0.0), ([8, 10, 12], True, 0.0),
        ([10, 10, 10, 10], True, 0.0),
        # The first four take the residual sum from the normal equations; with y far
        # from zero it comes from the data (and every quantity is noisier).
        ([10, 10], True, 1e4),
    ])
    def test_exact_derivatives_of_the_criterion(self, ks, weighted, offset):
        # Two or more smooths leave null directions in the penalized normal matrix; the
        # criterion's ridge does not move with lambda, so they add nothing to its slope and
        # the derivatives are exact (a ridge that followed the penalized diagonal put
        # 0.01 to 0.2 into the slope here, and 50 with the offset).
        y, x, w, pens = additive(400, ks, seed=7)
        y = y + offset
        if weighted:
            w = np.random.default_rng(2).uniform(0.2, 3.0, len(y))
        rho = np.log([2.0, 20.0, 0.5, 5.0][:len(ks)])
        derivs = lambda r: t.search_cached_derivatives(y, x, w, list(np.exp(r)), pens)
        g, h = derivs(rho)
        crit = lambda r: t.fit_reml_criterion(y, x, w, list(np.exp(r)), pens)
        # (criterion step, gradient step, gradient and Hessian tolerances): with y far from
        # zero the score itself carries rounding noise of about 1e-11 relative, which the
        # differences amplify (measured: 1e-8 relative, and 3e-6 with the offset)
        step_c, step_g, gtol, tol = (1e-3, 3e-3, 1e-5, 3e-5) if offset else (1e-4, 1e-4, 1e-6, 1e-6)
        np.testing.assert_allclose(g, fd(crit, rho, step_c), rtol=gtol, atol=gtol)
        np.testing.assert_allclose(h, fd(lambda r: derivs(r)[0], rho, step_g),
                                   atol=tol * abs(h).max())
        assert np.array_equal(h, h.T)

    @pytest.mark.parametrize("ks, weighted", [([10], False), ([10, 10], True), ([10, 10, 10], False)])
    def test_matches_the_qr_hessian_up_to_the_ridges(self, ks, weighted):
        y, x, w, pens = additive(500, ks, seed=3)
        if weighted:
            w = np.random.default_rng(5).uniform(0.2, 3.0, len(y))
        lam = [2.0, 20.0, 0.5][:len(ks)]
        _, h = t.search_cached_derivatives(y, x, w, lam, pens)
        h_qr = v.reml_hessian_multi_qr_py(y, x, w, lam, pens)
        assert abs(h - h_qr).max() < 2e-3 * abs(h_qr).max()
        # ... and is the Jacobian of the gradient the search uses to the same accuracy.
        grad = lambda r: t.reml_gradient_blockwise(y, x, w, list(np.exp(r)), pens)
        assert abs(h - fd(grad, np.log(lam))).max() < 2e-3 * abs(h).max()
