"""The Newton-PIRLS search: exits and their messages, the descent safeguard, the failed line
search, verbose narration, and newton_direction."""
import re

import numpy as np
import pytest

import _velkan_testing as t
import velkan_core as v
from tests.search.problems import additive


def exp6(value):
    """{:.6e} in the diagnostic format: 1.493052e0, 1.000000e-6."""
    mantissa, exponent = f"{value:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def run(y, x, w, rho0, pens, max_iter=100, grad_tol=1e-6, min_step=1e-10, shrink=0.5,
        max_line_search=20, verbose=False):
    keys = ["log_lambda", "lambda", "reml", "iterations", "grad_norm", "converged", "message"]
    out = t.search_newton_pirls(y, x, w, np.asarray(rho0, dtype=float), pens, max_iter,
                                grad_tol, min_step, shrink, max_line_search, verbose)
    return dict(zip(keys, out))


@pytest.fixture(scope="module")
def one():
    return additive(200, [10])


def gradient(y, x, w, pens, rho):
    return t.reml_gradient_multi_qr(y, x, w, list(np.exp(rho)), pens)


def test_converges_on_three_smooths():
    # The gradient is the exact slope of the score the line search minimises, so a
    # tolerance far below the search's default is reached.
    y, x, w, pens = additive(400, [10, 10, 10], seed=0)
    r = run(y, x, w, np.zeros(3), pens, grad_tol=1e-5)
    assert r["converged"] and r["grad_norm"] < 1e-5 and r["iterations"] < 20
    assert r["message"] == f"Converged: gradient norm {exp6(r['grad_norm'])} < 1.000000e-5"
    np.testing.assert_allclose(r["lambda"], np.exp(r["log_lambda"]), rtol=1e-15)
    assert r["reml"] == pytest.approx(t.fit_reml_criterion(y, x, w, list(r["lambda"]), pens),
                                      rel=1e-12)
    assert np.linalg.norm(gradient(y, x, w, pens, r["log_lambda"])) == pytest.approx(
        r["grad_norm"], rel=1e-6, abs=1e-12)


@pytest.mark.parametrize("max_iter, grad_tol, converged", [(100, 1e3, True), (1, 1e-6, False)])
def test_exit_at_first_iteration(one, max_iter, grad_tol, converged):
    y, x, w, pens = one
    rho0 = np.array([0.3])
    r = run(y, x, w, rho0, pens, max_iter=max_iter, grad_tol=grad_tol)
    gnorm = np.linalg.norm(gradient(y, x, w, pens, rho0))
    assert r["iterations"] == 1 and r["converged"] is converged
    assert r["log_lambda"].tolist() == rho0.tolist() and r["grad_norm"] == pytest.approx(gnorm)
    assert r["message"] == (f"Converged: gradient norm {exp6(gnorm)} < 1.000000e3" if converged
                            else "Max iterations (1) reached")


def test_failed_line_search_still_moves(one, capsys):
    # From rho = -20 the Newton step is about 2e8 long and no trial of the search lowers
    # the score, yet rho moves by 0.5^20 times the direction.
    y, x, w, pens = one
    rho0 = np.array([-20.0])
    lam0 = list(np.exp(rho0))
    d = t.search_newton_direction(v.reml_hessian_multi_qr_py(y, x, w, lam0, pens),
                                  t.reml_gradient_multi_qr(y, x, w, lam0, pens))
    r = run(y, x, w, rho0, pens, max_iter=2, verbose=True)
    out = capsys.readouterr().out
    assert r["log_lambda"][0] == pytest.approx(rho0[0] + 0.5 ** 20 * d[0], rel=1e-12)
    assert r["message"] == "Max iterations (2) reached" and not r["converged"]
    assert "  Line search failed, returning step=9.536743e-7\n" in out
    assert len(re.findall(r"\n    step=", out)) == 5
    assert re.search(r"\n  Descent check \(g'·Δρ\): -\d\.\d{6}e\d+ \(should be < 0\)\n"
                     r"  Line search: REML_current = \d+\.\d{6}\n    step=1\.000e0: ", out)
    assert re.search(r"\n  Step norm: \d\.\d{6}e\d+\n  New ρ: \[\d+\.\d+\]\n", out)


def test_step_floor_ends_the_search(one):
    y, x, w, pens = one
    r = run(y, x, w, [-20.0], pens, shrink=1e-6)
    assert r["message"] == "Line search failed: step size 1.000000e-12 < 1.000000e-10"
    assert r["iterations"] == 1 and r["log_lambda"].tolist() == [-20.0] and not r["converged"]


def test_uphill_newton_direction_replaced(one, capsys):
    # At rho = 5 the Hessian is negative, so the Newton direction points uphill.
    y, x, w, pens = one
    g = gradient(y, x, w, pens, np.array([5.0]))
    r = run(y, x, w, [5.0], pens, max_iter=2, verbose=True)
    out = capsys.readouterr().out
    assert "  WARNING: Not a descent direction, using steepest descent\n" in out
    assert "  Accepted step: 1.000000e0\n" in out
    assert r["log_lambda"][0] == pytest.approx(5.0 - g[0], rel=1e-12)


def test_verbose_narration(one, capsys):
    y, x, w, pens = one
    r = run(y, x, w, [0.0], pens, grad_tol=1e3, verbose=True)
    g = gradient(y, x, w, pens, np.zeros(1))
    assert capsys.readouterr().out == (
        "Newton-PIRLS Optimization\n========================\nInitial ρ: [0]\nUsing line search\n"
        f"\nIteration 1: max|grad| = {exp6(abs(g[0]))}\n"
        f"\nConverged: gradient norm {exp6(abs(g[0]))} < 1.000000e3\n"
        f"Final ρ: [0]\nFinal λ: [1]\nFinal REML: {r['reml']:.6f}\nIterations: 1\n")
    run(y, x, w, [0.0], pens, max_iter=3)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("n", [0, 1, 4, 9])
def test_newton_direction_solves_the_system(n):
    rng = np.random.default_rng(n)
    h, g = rng.standard_normal((n, n)), rng.standard_normal(n)
    for hv in (h, h.T):  # a transposed array is a strided view
        np.testing.assert_allclose(t.search_newton_direction(hv, g),
                                   np.linalg.solve(hv, -g) if n else [], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("h, g, message", [
    ([[1.0, 2.0], [2.0, 4.0]], [1.0, 1.0], "Linear algebra error: LU factorization failed: "
                                           "Lapack(LapackComputationalFailure { return_code: 2 })"),
    (np.eye(2), [1.0, 1.0, 1.0], "Matrix dimension mismatch: Hessian is 2x2 but the gradient "
                                 "has 3 entries"),
])
def test_newton_direction_errors(h, g, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        t.search_newton_direction(np.array(h), np.array(g))
