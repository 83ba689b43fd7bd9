"""Fellner-Schall against a NumPy transcription, GCV against an explicit influence matrix
and a fine grid, and Newton-PIRLS: exits, messages, safeguards and its narration."""
import re

import numpy as np
import pytest

import _velkan_testing as t
import velkan_core as v
from tests.oracles import additive

LOG_MIN, LOG_MAX, HALF_LOG5 = np.log(1e-7), np.log(1e5), 0.5 * np.log(5.0)
GCV_REFUSAL = "Not implemented: Multiple smooths not yet properly implemented for GCV"


def fs(y, x, w, pens, lam0=None, direct=False):
    lam0 = np.ones(len(pens)) if lam0 is None else np.asarray(lam0, dtype=float)
    return t.search_optimize(y, x, w, pens, lam0, "REML", "FellnerSchall", direct)


def fellner_schall_reference(x, w, pens, iterations=10):
    """rho += 0.5 ln clamp(tr(L^-1 S_i) / rank_i, 0.2, 5), rho kept in [ln 1e-7, ln 1e5]."""
    m, p = len(pens), x.shape[1]
    xtwx = (x * w[:, None]).T @ x
    ranks = [np.sum(np.linalg.eigvalsh(s) > 1e-10 * max(np.linalg.eigvalsh(s).max(), 1.0)) for s in pens]
    rho = np.zeros(m)
    for _ in range(iterations):
        a = xtwx + sum(np.exp(r) * s for r, s in zip(rho, pens))
        a += 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(a)).max()) * np.eye(p)
        linv = np.linalg.inv(np.linalg.cholesky(a))
        ratios = [np.trace(linv @ s) / r if r > 0 else 1.0 for s, r in zip(pens, ranks)]
        new = np.clip(rho + 0.5 * np.log(np.clip(ratios, 0.2, 5.0)), LOG_MIN, LOG_MAX)
        if np.abs(new - rho).max(initial=0) < 1e-6:
            return np.exp(new)
        rho = new
    return np.exp(rho)


def scaled_identities(scales, k=10, n=40):
    """X = 0 and S_i = c_i I on block i: the trace ratio of penalty i is sqrt(c_i / lambda_i)."""
    p = k * len(scales)
    return np.ones(n), np.zeros((n, p)), np.ones(n), [np.kron(np.diag(e), c * np.eye(k)) for e, c in
                                                      zip(np.eye(len(scales)), scales)]


class TestFellnerSchall:
    @pytest.mark.parametrize("ks, n", [([10], 200), ([8, 10, 10, 6], 500)])
    def test_update_matches_reference(self, ks, n):
        y, x, _, pens = additive(n, ks, seed=n)
        w = np.random.default_rng(n).uniform(0.5, 2.0, n)
        lam, err = fs(y, x, w, pens)
        assert err is None
        np.testing.assert_allclose(lam, fellner_schall_reference(x, w, pens), rtol=1e-8)

    def test_clamps_bounds_and_rank_zero(self):
        # Ratios 0.01 and 100 are clamped to 0.2 and 5 in each of ten updates; the all-zero
        # penalty keeps ratio 1.
        lam, err = fs(*scaled_identities([1e-4, 1e4, 0.0]))
        rho = np.log(lam)
        assert err is None and rho[2] == 0.0
        assert rho[0] < -8 * HALF_LOG5 + 1e-9 and rho[1] > 8 * HALF_LOG5 - 1e-9
        for scale, lam0, bound in [(1e12, 1e4, 1e5), (1e-8, 1e-6, 1e-7)]:
            lam, err = fs(*scaled_identities([scale]), [lam0], direct=True)
            assert err is None and lam[0] == pytest.approx(bound, rel=1e-12)

    def test_degenerate(self):
        y, x, w, _ = additive(100, [10])
        lam, err = fs(y, x, w, [])
        assert err is None and lam.size == 0
        # A negative definite "penalty" makes A indefinite even after both ridges.
        lam, err = fs(y, x, w, [-1e6 * np.eye(10)])
        assert err == "Singular matrix encountered" and lam.tolist() == [1.0]


def gcv(y, x, w, pens, lam0=None):
    return t.search_optimize(y, x, w, pens, np.ones(len(pens)) if lam0 is None else lam0, "GCV")


class TestGcv:
    @pytest.mark.parametrize("lam", [1e-6, 50.0])
    def test_score_matches_influence_matrix(self, lam):
        y, x, _, (s,) = additive(120, [9], seed=2)
        w = np.random.default_rng(1).uniform(0.2, 2.0, 120)
        a = (x * w[:, None]).T @ x + lam * s
        beta = np.linalg.solve(a, (x * w[:, None]).T @ y)
        trace = np.trace(x @ np.linalg.inv(a) @ (x * w[:, None]).T)
        want = 120 * np.sum(w * (y - x @ beta) ** 2) / (120 - trace) ** 2
        assert t.search_gcv_score(y, x, w, s, lam) == pytest.approx(want, rel=1e-10)

    @pytest.mark.parametrize("seed, k, noise", [(1, 10, 0.3), (3, 14, 1.0)])
    def test_search_finds_the_grid_minimum_at_every_scale(self, seed, k, noise):
        y, x, w, pens = additive(300, [k], seed=seed, noise=noise)
        grid = np.arange(LOG_MIN, LOG_MAX + 0.005, 0.01)
        best = grid[np.argmin([t.search_gcv_score(y, x, w, pens[0], float(np.exp(r))) for r in grid])]
        lambdas = [gcv(scale * y, x, w, pens)[0][0] for scale in [0.1, 1.0, 1000.0]]
        assert abs(np.log(lambdas[1]) - best) < 0.05
        np.testing.assert_allclose(lambdas, lambdas[1], rtol=1e-9)

    def test_edges(self):
        y, x, w, (s,) = additive(100, [10])
        for yy, ss in [(y, np.zeros_like(s)), (np.zeros_like(y), s)]:  # a flat score
            lam, err = gcv(yy, x, w, [ss])
            assert err is None and 1e-7 <= lam[0] <= 1e5
        # An unpenalized zero column makes the system singular at every lambda.
        lam, err = gcv(y, np.hstack([x, np.zeros((100, 1))]), w, [np.pad(s, ((0, 1), (0, 1)))])
        assert (err, lam.tolist()) == ("Singular matrix encountered", [1.0])
        lam, err = gcv(*additive(100, [10, 10])[:3], additive(100, [10, 10])[3], np.array([3.0, 4.0]))
        assert (err, lam.tolist()) == (GCV_REFUSAL, [1.0, 1.0])  # after the reset


def exp6(value):
    mantissa, exponent = f"{value:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def newton_pirls(y, x, w, rho0, pens, max_iter=100, grad_tol=1e-6, min_step=1e-10, shrink=0.5, verbose=False):
    keys = ["log_lambda", "lambda", "reml", "iterations", "grad_norm", "converged", "message"]
    return dict(zip(keys, t.search_newton_pirls(y, x, w, np.asarray(rho0, dtype=float), pens, max_iter,
                                                grad_tol, min_step, shrink, 20, verbose)))


@pytest.fixture(scope="module")
def one():
    return additive(200, [10])


def gradient(y, x, w, pens, rho):
    return t.reml_gradient_multi_qr(y, x, w, list(np.exp(rho)), pens)


class TestNewtonPirls:
    def test_converges_on_three_smooths(self):
        # The gradient is the exact slope of the score the line search minimises, so a
        # tolerance far below the search's default is reached.
        y, x, w, pens = additive(400, [10, 10, 10], seed=0)
        r = newton_pirls(y, x, w, np.zeros(3), pens, grad_tol=1e-5)
        assert r["converged"] and r["grad_norm"] < 1e-5 and r["iterations"] < 20
        assert r["message"] == f"Converged: gradient norm {exp6(r['grad_norm'])} < 1.000000e-5"
        np.testing.assert_allclose(r["lambda"], np.exp(r["log_lambda"]), rtol=1e-15)
        assert r["reml"] == pytest.approx(t.fit_reml_criterion(y, x, w, list(r["lambda"]), pens), rel=1e-12)
        assert np.linalg.norm(gradient(y, x, w, pens, r["log_lambda"])) == pytest.approx(r["grad_norm"], rel=1e-6)
        public = v.newton_pirls_py(y, x, w, np.zeros(3), pens, 100, 1e-5, False)
        np.testing.assert_array_equal(public[0], r["log_lambda"])
        assert public[2:] == (r["reml"], r["iterations"], r["converged"], r["message"])

    @pytest.mark.parametrize("rho0, kwargs, message, moved", [
        ([0.3], dict(max_iter=1), "Max iterations (1) reached", False),
        ([-20.0], dict(shrink=1e-6), "Line search failed: step size 1.000000e-12 < 1.000000e-10", False),
        # From rho = -20 no trial lowers the score, yet rho moves by 0.5^20 times the step.
        ([-20.0], dict(max_iter=2), "Max iterations (2) reached", "newton"),
        # At rho = 5 the Hessian is negative: the uphill Newton step becomes -g.
        ([5.0], dict(max_iter=2), "Max iterations (2) reached", "steepest"),
    ])
    def test_exits(self, one, rho0, kwargs, message, moved):
        y, x, w, pens = one
        lam0 = list(np.exp(rho0))
        r = newton_pirls(y, x, w, rho0, pens, **kwargs)
        assert r["message"] == message and not r["converged"]
        g = gradient(y, x, w, pens, np.array(rho0))
        d = t.search_newton_direction(v.reml_hessian_multi_qr_py(y, x, w, lam0, pens), g)
        want = {False: rho0[0], "newton": rho0[0] + 0.5 ** 20 * d[0], "steepest": rho0[0] - g[0]}[moved]
        assert r["log_lambda"][0] == pytest.approx(want, rel=1e-12)

    def test_verbose_narration(self, one, capsys):
        y, x, w, pens = one
        r = newton_pirls(y, x, w, [0.0], pens, grad_tol=1e3, verbose=True)
        g = exp6(abs(gradient(y, x, w, pens, np.zeros(1))[0]))
        assert capsys.readouterr().out == (
            "Newton-PIRLS Optimization\n========================\nInitial ρ: [0]\nUsing line search\n"
            f"\nIteration 1: max|grad| = {g}\n\nConverged: gradient norm {g} < 1.000000e3\n"
            f"Final ρ: [0]\nFinal λ: [1]\nFinal REML: {r['reml']:.6f}\nIterations: 1\n")
        newton_pirls(y, x, w, [-20.0], pens, max_iter=2, verbose=True)
        out = capsys.readouterr().out
        assert "  Line search failed, returning step=9.536743e-7\n" in out
        newton_pirls(y, x, w, [5.0], pens, max_iter=2, verbose=True)
        assert "  WARNING: Not a descent direction, using steepest descent\n" in capsys.readouterr().out

    @pytest.mark.parametrize("h, g, message", [
        ([[1.0, 2.0], [2.0, 4.0]], [1.0, 1.0],
         "Linear algebra error: LU factorization failed: Lapack(LapackComputationalFailure { return_code: 2 })"),
        (np.eye(2), [1.0, 1.0, 1.0], "Matrix dimension mismatch: Hessian is 2x2 but the gradient has 3 entries"),
    ])
    def test_newton_direction(self, h, g, message, rng):
        a, b = rng.standard_normal((4, 4)), rng.standard_normal(4)
        np.testing.assert_allclose(t.search_newton_direction(a.T, b), np.linalg.solve(a.T, -b), rtol=1e-10)
        with pytest.raises(ValueError, match=re.escape(message)):
            t.search_newton_direction(np.array(h), np.array(g))
