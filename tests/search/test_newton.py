"""The multi-smooth Newton search: its decisions on objectives written in Python (seen
through the points it scores and its closing line), and its results on REML problems."""
import numpy as np
import pytest

import _velkan_testing as t
import velkan_core as v
from tests.oracles import additive, fd


def search(score, grad, hess, rho0, grad_uncached=None):
    """Runs the search on an objective over rho; returns (final rho, rho of every score call)."""
    calls = []

    def s(lam):
        calls.append(np.log(lam))
        return score(np.log(lam))

    def vec(f):
        return lambda lam: np.atleast_1d(np.asarray(f(np.log(lam)), dtype=float))

    lam = t.search_newton_objective(s, vec(grad), vec(grad_uncached or grad),
                                    lambda lam: np.atleast_2d(np.asarray(hess(np.log(lam)), dtype=float)),
                                    np.exp(np.asarray(rho0, dtype=float)))
    return np.log(lam), [c[0] for c in calls]


@pytest.fixture
def last_line(monkeypatch, capsys):
    monkeypatch.setenv("VELKAN_PROFILE", "")
    monkeypatch.delenv("VELKAN_GRAD_DEBUG", raising=False)
    return lambda: capsys.readouterr().out.splitlines()[-1]


STALL = "[PROFILE] Reached max iterations (10) without convergence"


@pytest.mark.parametrize("score, g, gu, h, rho, trials, exit_line", [
    # Newton step 6, capped to norm 4: the full step passes Armijo and half 1 is worse, so
    # half 1 is tried and the full step kept.
    (lambda r: 0.5 * (r - 6) ** 2, lambda r: r - 6, None, 1.0, 6.0, [0, 4, 2],
     "[PROFILE] Converged after 3 iterations (gradient criterion: 0.000000 < 0.05)"),
    # The score barely moves while the gradient stays at 0.5: never stops on the REML change
    # in the first two iterations.
    (lambda r: 100 - 1e-7 * r, lambda r: -0.5, None, 1.0, 1.0, None,
     "[PROFILE] Converged after 3 iterations (REML change: 5.00e-10 < 1e-5)"),
    # No trial beats the start: 11 halvings (g < 0.1), 21 (g < 1), 31 beyond, then a stop.
    (lambda r: 10.0 if r == 0 else 11.0, lambda r: 0.07, None, 1.0, 0.0, 1 + 11,
     "[PROFILE] Converged after 1 iterations (gradient 0.070000 < 0.1, no further progress possible)"),
    (lambda r: 10.0 if r == 0 else 11.0, lambda r: 0.5, None, 1.0, 0.0, 1 + 21 + 3, STALL),
    (lambda r: 10.0 if r == 0 else 11.0, lambda r: 1.5, None, 1.0, 0.0, 1 + 31 + 3, STALL),
    # A negative Hessian is taken by magnitude: the Newton step -g / |h| still descends.
    (lambda r: 10 + r, lambda r: 0.5, None, -1.0, -5.0, None, STALL),
    # A cached gradient of the wrong sign points the step uphill: steepest descent on the
    # uncached gradient moves by -0.01 g each iteration.
    (lambda r: 10 + r, lambda r: -0.5, lambda r: 0.5, 1.0, -0.05, None, STALL),
])
def test_decisions(last_line, score, g, gu, h, rho, trials, exit_line):
    got, calls = search(lambda r: score(r[0]), lambda r: g(r[0]), lambda r: h, [0.0],
                        grad_uncached=gu and (lambda r: gu(r[0])))
    assert got[0] == pytest.approx(rho, abs=1e-5)
    if isinstance(trials, list):
        np.testing.assert_allclose(calls[:len(trials)], trials, atol=1e-9)
    elif trials is not None:
        assert len(calls) == trials and calls[2] == pytest.approx(calls[1] / 2)
    assert last_line() == exit_line


def test_numerical_limit_and_failed_trials(last_line):
    # Failed trials are skipped like worse ones; a small uncached gradient ends the search.
    def score(r):
        if r[0] != 0:
            raise ArithmeticError("no score here")
        return 10.0

    rho, _ = search(score, lambda r: 0.5, lambda r: 1.0, [0.0], grad_uncached=lambda r: 0.05)
    assert rho[0] == 0.0
    assert last_line() == "[PROFILE] Converged after 1 iterations (gradient 0.050000 < 0.100000 at numerical limit)"


@pytest.mark.parametrize("broken", ["score", "grad", "hess"])
def test_objective_errors_end_the_search(broken):
    def fail(r):
        raise ArithmeticError("broken " + broken)

    parts = {"score": lambda r: 1.0, "grad": lambda r: 1.0, "hess": lambda r: 1.0, broken: fail}
    with pytest.raises(ValueError, match=f"^Invalid parameter: broken {broken}$"):
        search(parts["score"], parts["grad"], parts["hess"], [0.0])


class TestOptimize:
    def test_single_smooth_reaches_the_criterion_minimum(self):
        y, x, w, pens = additive(300, [12], seed=4)
        lam, err = t.search_optimize(y, x, w, pens, np.array([7.0]))
        assert err is None
        grid = np.linspace(-5, 10, 1501)
        scores = [t.fit_reml_criterion(y, x, w, [float(np.exp(r))], pens) for r in grid]
        assert abs(np.log(lam[0]) - grid[np.argmin(scores)]) < 0.1

    def test_four_smooths_converge_where_the_score_is_flat(self, last_line):
        y, x, w, S = additive(400, [10] * 4, seed=4, basis="cr")
        lam, err = t.search_optimize(y, x, w, S, np.ones(4))
        assert err is None and last_line().startswith("[PROFILE] Converged after")
        crit = lambda r: t.fit_reml_criterion(y, x, w, list(np.exp(r)), S)
        assert abs(fd(crit, np.log(lam))).max() < 0.05

    @pytest.mark.parametrize("lam0, extra, message", [
        ([3.0, 4.0, 5.0], (), "Number of penalties must match number of lambdas"),
        ([3.0], ("GCV",), "Number of penalties must match number of lambdas"),
    ])
    def test_bad_input_fails_before_reset(self, lam0, extra, message):
        y, x, w, pens = additive(300, [10, 10])
        lam, err = t.search_optimize(y, x, w, pens, np.array(lam0), *extra)
        assert err == "Matrix dimension mismatch: " + message and lam.tolist() == lam0
        lam, err = t.search_optimize(y, x, w, [], np.ones(0))
        assert err is None and lam.size == 0

    @pytest.mark.parametrize("ks, weighted, offset", [([10], False, 0.0), ([8, 10, 12], True, 0.0),
                                                       ([10, 10], True, 1e4)])
    def test_cached_derivatives_are_exact(self, ks, weighted, offset):
        # The criterion's ridge does not move with lambda, so the cached derivatives are
        # its exact slopes; with y far from zero the residual sum comes from the data.
        y, x, w, pens = additive(400, ks, seed=7)
        y = y + offset
        if weighted:
            w = np.random.default_rng(2).uniform(0.2, 3.0, len(y))
        rho = np.log([2.0, 20.0, 0.5][:len(ks)])
        derivs = lambda r: t.search_cached_derivatives(y, x, w, list(np.exp(r)), pens)
        g, h = derivs(rho)
        crit = lambda r: t.fit_reml_criterion(y, x, w, list(np.exp(r)), pens)
        # (criterion step, gradient step, gradient and Hessian tolerances): with y far from
        # zero the score itself carries rounding noise of about 1e-11 relative, which the
        # differences amplify (measured: 1e-8 relative, and 3e-6 with the offset)
        step_c, step_g, gtol, tol = (1e-3, 3e-3, 1e-5, 3e-5) if offset else (1e-4, 1e-4, 1e-6, 1e-6)
        np.testing.assert_allclose(g, fd(crit, rho, step_c), rtol=gtol, atol=gtol)
        np.testing.assert_allclose(h, fd(lambda r: derivs(r)[0], rho, step_g), atol=tol * abs(h).max())
        assert np.array_equal(h, h.T)
        # The QR Hessian is the same derivative from another factorization (measured: 1e-13
        # relative, 1e-7 with the offset, where the cached path's RSS comes from the data).
        h_qr = v.reml_hessian_multi_qr_py(y, x, w, list(np.exp(rho)), pens)
        assert abs(h - h_qr).max() < (1e-6 if offset else 1e-11) * abs(h_qr).max()
