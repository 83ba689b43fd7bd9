"""Families and penalized IRLS: the family functions' clamps and floors, PiRLS against a
NumPy transcription, its step-halving safeguard, and the cached unit-weight products."""
import math

import numpy as np
import pytest

import _velkan_testing as t
from tests.oracles import cr_basis, cr_penalty, ridged_solve, scaled

LOGIT20 = 1 / (1 + math.exp(-20))


@pytest.mark.parametrize("fn, family, arg, expected", [
    (t.fit_linkinv, "binomial", 25.0, LOGIT20), (t.fit_linkinv, "binomial", -25.0, 1 / (1 + math.exp(20))),
    (t.fit_linkinv, "poisson", 30.0, math.exp(20)), (t.fit_linkinv, "poisson", -800.0, 0.0),
    (t.fit_linkinv, "gamma", 5e-11, 1e10), (t.fit_linkinv, "gamma", -2.0, -0.5),
    (t.fit_mu_eta, "poisson", 30.0, math.exp(30)), (t.fit_mu_eta, "binomial", 25.0, LOGIT20 * (1 - LOGIT20)),
    (t.fit_mu_eta, "gamma", 0.5, -4.0),
    (t.fit_initial_eta, "binomial", 1.0, math.log(0.99 / 0.01)), (t.fit_initial_eta, "poisson", 0.0, math.log(0.1)),
    (t.fit_initial_eta, "gamma", 0.0, 10.0), (t.fit_initial_eta, "gamma", 4.0, 0.25),
], ids=lambda v: getattr(v, "__name__", None))
def test_family_values(fn, family, arg, expected):
    assert fn(family, np.array([arg]))[0] == pytest.approx(expected, rel=1e-14, abs=0)


@pytest.mark.parametrize("family, eta, mu, weight", [
    ("gaussian", 1e6, 1e6, 1.0), ("binomial", 0.0, 0.5, 0.25),
    ("binomial", 0.0, 1.0, 0.25 ** 2 / 1e-10),                    # variance floor
    ("binomial", 1.0, 0.25, 0.19661193324148185 ** 2 / 0.1875), ("gamma", 0.5, 3.0, 16.0 / 9.0),
    ("poisson", -40.0, math.exp(-40), 1e-10),                      # weight floor
    ("poisson", 30.0, math.exp(20), math.exp(40)), ("gamma", 0.5, np.nan, np.nan),
])
def test_working_weights(family, eta, mu, weight):
    got = t.fit_working_weight(family, np.array([eta]), np.array([mu]))[0]
    assert got == pytest.approx(weight, rel=1e-12, nan_ok=True)


@pytest.mark.parametrize("family, y, mu, expected", [
    ("binomial", [0.0, 1.0], [0.5, 0.5], 4 * math.log(2)),
    ("binomial", [1.5, -0.5, 1.0], [0.3, 0.3, 0.0], 2 * math.log(1e10)),  # outside [0, 1]: nothing
    ("poisson", [0.0, 3.0], [2.0, 2.0], 4.0 + 2 * (3 * math.log(1.5) - 1)),
    ("gamma", [2.0], [1.0], 2 * (1.0 - math.log(2.0))), ("gaussian", [1.0, -2.0], [-1.0, -4.5], 10.25),
])
def test_deviance(family, y, mu, expected):
    assert t.fit_deviance(family, np.array(y), np.array(mu)) == pytest.approx(expected, rel=1e-13)


def reference_pirls(y, X, lambdas, penalties, family, max_iter=100):
    """The plain iteration in NumPy on the (separately tested) family functions."""
    p = X.shape[1]
    s_lambda = sum((l * s for l, s in zip(lambdas, penalties)), np.zeros((p, p)))
    beta, eta = np.zeros(p), t.fit_initial_eta(family, y)
    for it in range(1, max_iter + 1):
        mu, g = t.fit_linkinv(family, eta), t.fit_mu_eta(family, eta)
        z = np.where(np.abs(g) >= 1e-10, eta + (y - mu) / np.where(g == 0, 1, g), eta)
        w = t.fit_working_weight(family, eta, mu)
        xtwx = X.T @ (w[:, None] * X)
        new = ridged_solve(xtwx + s_lambda, xtwx, len(lambdas), X.T @ (w * z))
        change, beta, eta = np.abs(new - beta).max(), new, X @ new
        if change < 1e-6:
            return beta, eta, it
    return beta, eta, max_iter


def cr_design(x, k):
    knots = np.linspace(x.min(), x.max(), k)
    b = cr_basis(x, knots)
    return b, scaled(b, cr_penalty(knots))


TRUTH = {"binomial": [-0.5, 2.0, -1.5], "poisson": [0.5, 1.0, -0.7], "gamma": [1.0, 0.5, -0.3]}


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "gamma"])
def test_matches_reference_and_recovers_truth(family, rng):
    n = 4000
    X = np.column_stack([np.ones(n), rng.uniform(0, 1, (n, 2))])
    mu = t.fit_linkinv(family, X @ TRUTH.get(family, [0.3, 1.0, -2.0]))
    y = {"gaussian": lambda: mu + 0.1 * rng.normal(size=n), "binomial": lambda: (rng.uniform(size=n) < mu) * 1.0,
         "poisson": lambda: rng.poisson(mu) * 1.0, "gamma": lambda: rng.gamma(5.0, mu / 5.0)}[family]()
    pen = [np.diag([0.0, 1.0, 1.0]), np.diag([0.0, 0.0, 2.0])]
    r = t.fit_pirls(y, X, [0.1, 0.5], pen, family)
    beta, eta, iterations = reference_pirls(y, X, [0.1, 0.5], pen, family)
    assert r["converged"] and r["iterations"] == iterations
    np.testing.assert_allclose(r["coefficients"], beta, rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(r["linear_predictor"], X @ r["coefficients"], rtol=1e-12, atol=1e-12)
    assert r["deviance"] == pytest.approx(t.fit_deviance(family, y, r["fitted_values"]), rel=1e-12)
    np.testing.assert_array_equal(r["weights"], t.fit_working_weight(family, r["linear_predictor"],
                                                                     r["fitted_values"]))
    assert np.abs(r["coefficients"] - TRUTH.get(family, [0.3, 1.0, -2.0])).max() < 0.25
    if family == "gaussian":  # two solves, the ridge refined away: penalized least squares
        a = X.T @ X + sum(l * s for l, s in zip([0.1, 0.5], pen))
        np.testing.assert_allclose(r["coefficients"], np.linalg.solve(a, X.T @ y), rtol=1e-10)
        assert r["iterations"] == 2


def divergent_bernoulli():
    rng = np.random.default_rng(2)
    x = rng.uniform(0, 1, 300)
    truth = 3 * np.sin(2 * np.pi * x)
    X, S = cr_design(x, 10)
    return (rng.uniform(size=300) < 1 / (1 + np.exp(-truth))).astype(float), X, S, truth


class TestSafeguard:
    def test_halving_converges_where_the_plain_iteration_diverges(self):
        y, X, S, truth = divergent_bernoulli()
        _, plain_eta, plain_iterations = reference_pirls(y, X, [1.0], [S], "binomial")
        assert plain_iterations == 100 and np.abs(plain_eta).max() > 1e3
        r = t.fit_pirls(y, X, [1.0], [S], "binomial")
        assert r["converged"] and r["iterations"] < 30
        assert np.sqrt(np.mean((r["linear_predictor"] - truth) ** 2)) < 0.6
        # Stationarity of the penalized likelihood (logit is canonical, so the score is
        # X'(y - mu)): X'(y - mu) = S beta, the solve's ridge refined away.
        beta, mu = r["coefficients"], r["fitted_values"]
        residual = X.T @ (y - mu) - S @ beta
        assert np.abs(residual).max() < 1e-7 * np.abs(X.T @ (y - mu)).sum()

    # Large counts at n = 1e5 move the penalized deviance by rounding near convergence:
    # still no halving, so the fit is the plain iteration.
    @pytest.mark.parametrize("n, level, k", [(400, 1.0, 8), (100_000, 3.0, 12)])
    def test_monotone_fits_take_the_plain_steps(self, n, level, k, rng):
        x = rng.uniform(0, 1, n)
        y = rng.poisson(np.exp(level + np.sin(2 * np.pi * x))).astype(float)
        X, S = cr_design(x, k)
        r = t.fit_pirls(y, X, [1.0], [S], "poisson")
        beta, _, iterations = reference_pirls(y, X, [1.0], [S], "poisson")
        assert r["converged"] and r["iterations"] == iterations > 4
        np.testing.assert_allclose(r["coefficients"], beta, rtol=1e-9)


@pytest.mark.parametrize("n_x, n_y, m_l, shape, message", [
    (10, 9, 1, (4, 4), "X has 10 rows but y has 9 elements"),
    (10, 10, 3, (4, 4), "Number of lambdas must match number of penalty matrices"),
    (10, 10, 1, (3, 4), "Penalty matrix 0 is 3x4 but X has 4 columns"),
])
def test_input_errors(n_x, n_y, m_l, shape, message):
    with pytest.raises(ValueError) as e:
        t.fit_pirls(np.zeros(n_y), np.ones((n_x, 4)), [1.0] * m_l, [np.zeros(shape)], "poisson")
    assert str(e.value) == "Matrix dimension mismatch: " + message


def test_unit_weight_products(rng):
    # Gaussian PiRLS on X'X and X'y formed once equals the fit from the data, and hands back
    # the residual sums of its result; other families ignore the products.
    x = rng.uniform(size=(3000, 2))
    X, S = cr_design(x[:, 0], 8)
    y = 5.0 + np.sin(2 * np.pi * x[:, 0]) + 0.3 * rng.standard_normal(3000)
    plain = t.fit_pirls(y, X, [0.5], [S], "gaussian")
    cached = t.fit_pirls(y, X, [0.5], [S], "gaussian", X.T @ X, X.T @ y, True)
    np.testing.assert_allclose(cached["coefficients"], plain["coefficients"], rtol=1e-9)
    assert cached["iterations"] == 2 and cached["deviance"] == pytest.approx(plain["deviance"], rel=1e-10)
    resid = y - X @ cached["coefficients"]
    assert cached["rss"] == pytest.approx(np.sum(resid ** 2), rel=1e-12)
    np.testing.assert_allclose(cached["xtr"], X.T @ resid, atol=1e-12 * np.abs(X.T @ y).max())
    # Products that disagree with the data move a gaussian fit and no other.
    off = t.fit_pirls(y, X, [0.5], [S], "gaussian", 2 * X.T @ X, X.T @ y)
    assert not np.allclose(off["coefficients"], plain["coefficients"])
    yb = (y > 5.5).astype(float)
    other = t.fit_pirls(yb, X, [0.5], [S], "binomial", 2 * X.T @ X, X.T @ yb, True)
    np.testing.assert_array_equal(other["coefficients"], t.fit_pirls(yb, X, [0.5], [S], "binomial")["coefficients"])
    assert other["rss"] is None
    with pytest.raises(ValueError, match=r"Cached cross products are 3x3 and 3 but X has 8"):
        t.fit_pirls(y, X, [0.5], [S], "gaussian", np.eye(3), np.zeros(3))
