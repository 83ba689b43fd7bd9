import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import _velkan_testing as t
from tests.helpers import ridge as ridge_of, ridged_solve

FIELDS = ["coefficients", "fitted_values", "linear_predictor", "weights", "deviance",
          "iterations", "converged"]


def reference_pirls(y, X, lambdas, penalties, family, max_iter=100):
    """The plain iteration in NumPy, built on the (separately tested) family functions."""
    p = X.shape[1]
    s_lambda = sum((l * s for l, s in zip(lambdas, penalties)), np.zeros((p, p)))
    beta, eta = np.zeros(p), t.fit_initial_eta(family, y)
    for it in range(1, max_iter + 1):
        mu, g = t.fit_linkinv(family, eta), t.fit_mu_eta(family, eta)
        z = np.where(np.abs(g) >= 1e-10, eta + (y - mu) / np.where(g == 0, 1, g), eta)
        w = t.fit_working_weight(family, eta, mu)
        xtwx = X.T @ (w[:, None] * X)
        new = ridged_solve(xtwx + s_lambda, xtwx, len(lambdas), X.T @ (w * z))
        change = np.abs(new - beta).max()
        beta, eta = new, X @ new
        if change < 1e-6:
            return beta, eta, it, True
    return beta, eta, max_iter, False


def cr_design(x, k):
    """Natural cubic spline basis with k evenly spaced knots (coefficients are the values
    at the knots) and its integrated squared second-derivative penalty, scaled by
    ||X||_inf^2 / ||S||_inf as the model's fit paths do."""
    knots = np.linspace(x.min(), x.max(), k)
    X = np.column_stack([CubicSpline(knots, np.eye(k)[j], bc_type="natural")(x)
                         for j in range(k)])
    h = np.diff(knots)
    D, B = np.zeros((k - 2, k)), np.zeros((k - 2, k - 2))
    for i in range(k - 2):
        D[i, i:i + 3] = 1 / h[i], -1 / h[i] - 1 / h[i + 1], 1 / h[i + 1]
        B[i, i] = (h[i] + h[i + 1]) / 3
        if i < k - 3:
            B[i, i + 1] = B[i + 1, i] = h[i + 1] / 6
    S = D.T @ np.linalg.solve(B, D)
    return X, S * np.abs(X).sum(1).max() ** 2 / np.abs(S).sum(1).max()


def divergent_bernoulli():
    """300 Bernoulli responses, one cubic regression smooth of k = 10, lambda = 1."""
    rng = np.random.default_rng(2)
    x = rng.uniform(0, 1, 300)
    truth = 3 * np.sin(2 * np.pi * x)
    y = (rng.uniform(size=300) < 1 / (1 + np.exp(-truth))).astype(float)
    X, S = cr_design(x, 10)
    return y, X, S, truth


class TestGaussian:
    @pytest.mark.parametrize("m", [0, 2])
    def test_two_iterations_reproduce_penalized_least_squares(self, m, rng):
        n, p = 120, 6
        X = rng.normal(size=(n, p))
        y = X @ rng.normal(size=p) + 0.1 * rng.normal(size=n)
        pens = [np.diag(rng.uniform(0, 2, p)) for _ in range(m)]
        lams = list(rng.uniform(0.5, 3, m))
        r = t.fit_pirls(y, X, lams, pens, "gaussian")
        xtx = X.T @ X
        a = xtx + sum((l * s for l, s in zip(lams, pens)), np.zeros((p, p)))
        expected = np.linalg.solve(a, X.T @ y)  # the ridge leaves no trace
        assert (r["iterations"], r["converged"], r["step_halvings"]) == (2, True, 0)
        np.testing.assert_allclose(r["coefficients"], expected, rtol=1e-10)
        np.testing.assert_allclose(r["linear_predictor"], X @ expected, rtol=1e-9, atol=1e-12)
        np.testing.assert_array_equal(r["weights"], np.ones(n))
        assert r["deviance"] == pytest.approx(np.sum((y - X @ expected) ** 2), rel=1e-9)

    def test_tiny_coefficients_converge_after_one_solve(self, rng):
        X = rng.normal(size=(40, 3))
        r = t.fit_pirls(1e-9 * rng.normal(size=40), X, [], [], "gaussian")
        assert (r["iterations"], r["converged"]) == (1, True)


# True coefficients of (1, x1, x2) per family; gamma's inverse link keeps eta positive.
TRUTH = {"binomial": [-0.5, 2.0, -1.5], "poisson": [0.5, 1.0, -0.7], "gamma": [1.0, 0.5, -0.3]}


def simulate(family, rng, n=4000):
    X = np.column_stack([np.ones(n), rng.uniform(0, 1, (n, 2))])
    mu = t.fit_linkinv(family, X @ TRUTH[family])
    y = {"binomial": lambda: (rng.uniform(size=n) < mu).astype(float),
         "poisson": lambda: rng.poisson(mu).astype(float),
         "gamma": lambda: rng.gamma(5.0, mu / 5.0)}[family]()
    return y, X


@pytest.mark.parametrize("family", ["binomial", "poisson", "gamma"])
def test_glm_fit_matches_reference_and_recovers_truth(family, rng):
    y, X = simulate(family, rng)
    pen = [np.diag([0.0, 1.0, 1.0])]
    r = t.fit_pirls(y, X, [0.1], pen, family)
    ref_beta, ref_eta, ref_it, ref_conv = reference_pirls(y, X, [0.1], pen, family)
    assert r["converged"] and ref_conv and r["iterations"] == ref_it
    np.testing.assert_allclose(r["coefficients"], ref_beta, rtol=1e-9, atol=1e-11)
    assert np.abs(r["coefficients"] - TRUTH[family]).max() < 0.25
    mu, eta = r["fitted_values"], r["linear_predictor"]
    np.testing.assert_allclose(mu, t.fit_linkinv(family, ref_eta), rtol=1e-9)
    assert r["deviance"] == pytest.approx(t.fit_deviance(family, y, mu), rel=1e-12)
    np.testing.assert_array_equal(r["weights"], t.fit_working_weight(family, eta, mu))


class TestSafeguard:
    def test_plain_iteration_diverges_to_the_cap(self):
        y, X, S, _ = divergent_bernoulli()
        r = t.fit_pirls(y, X, [1.0], [S], "binomial", step_halving=False)
        assert (r["iterations"], r["converged"], r["step_halvings"]) == (100, False, 0)
        assert np.abs(r["linear_predictor"]).max() > 1e3

    def test_halving_converges_and_recovers_truth(self):
        y, X, S, truth = divergent_bernoulli()
        r = t.fit_pirls(y, X, [1.0], [S], "binomial")
        assert r["converged"] and r["iterations"] < 30 and r["step_halvings"] > 0
        eta = r["linear_predictor"]
        assert np.sqrt(np.mean((eta - truth) ** 2)) < 0.6
        # Stationarity of the penalized likelihood (logit is canonical, so the score is
        # X'(y - mu)): X'(y - mu) = S beta, the solve's ridge refined away.
        beta, mu = r["coefficients"], r["fitted_values"]
        residual = X.T @ (y - mu) - S @ beta
        assert np.abs(residual).max() < 1e-7 * np.abs(X.T @ (y - mu)).sum()

    @pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial"])
    def test_monotone_fits_are_bit_identical(self, family, rng):
        x = rng.uniform(0, 1, 400)
        f = np.sin(2 * np.pi * x)
        y = {"gaussian": f + 0.3 * rng.normal(size=400),
             "poisson": rng.poisson(np.exp(1 + f)).astype(float),
             "binomial": (rng.uniform(size=400) < 1 / (1 + np.exp(-f))).astype(float)}[family]
        X, S = cr_design(x, 8)
        lam = 50.0 if family == "binomial" else 1.0
        on = t.fit_pirls(y, X, [lam], [S], family)
        off = t.fit_pirls(y, X, [lam], [S], family, step_halving=False)
        assert on["step_halvings"] == 0 and on["converged"]
        assert on["iterations"] == 2 if family == "gaussian" else on["iterations"] > 4
        for k in FIELDS:
            np.testing.assert_array_equal(on[k], off[k])

    def test_large_counts_take_no_halving(self, rng):
        # Large counts at n = 1e5 converge monotonely: no halving may happen, and the
        # plain result stands bit for bit.
        n = 100_000
        x = rng.uniform(0, 1, n)
        y = rng.poisson(np.exp(3 + np.sin(2 * np.pi * x))).astype(float)
        X, S = cr_design(x, 12)
        on = t.fit_pirls(y, X, [1.0], [S], "poisson")
        off = t.fit_pirls(y, X, [1.0], [S], "poisson", step_halving=False)
        assert on["step_halvings"] == 0 and on["converged"]
        for k in FIELDS:
            np.testing.assert_array_equal(on[k], off[k])

    @pytest.mark.parametrize("family", ["gaussian", "binomial"])
    def test_nan_response_is_reported_not_converged(self, family, rng):
        X = rng.normal(size=(30, 3))
        y = (rng.uniform(size=30) < 0.5).astype(float)
        y[4] = np.nan
        try:
            r = t.fit_pirls(y, X, [], [], family)
        except ValueError as e:  # the solve may refuse the non-finite system instead
            assert "Singular matrix" in str(e)
        else:
            assert not r["converged"]
            assert np.isnan(r["coefficients"]).any()


ERRORS = [
    (10, 9, 1, 1, (4, 4), "X has 10 rows but y has 9 elements"),
    (10, 10, 3, 2, (4, 4), "Number of lambdas must match number of penalty matrices"),
    (10, 9, 3, 2, (4, 4), "X has 10 rows but y has 9 elements"),  # checked first
    (10, 10, 1, 1, (3, 4), "Penalty matrix 0 is 3x4 but X has 4 columns"),
]


@pytest.mark.parametrize("n_x,n_y,m_l,m_p,shape,message", ERRORS)
def test_input_errors(n_x, n_y, m_l, m_p, shape, message):
    with pytest.raises(ValueError) as e:
        t.fit_pirls(np.zeros(n_y), np.ones((n_x, 4)), [1.0] * m_l,
                    [np.zeros(shape)] * m_p, "poisson")
    assert str(e.value) == "Matrix dimension mismatch: " + message


@pytest.mark.parametrize("family", ["gaussian", "binomial", "gamma"])
@pytest.mark.parametrize("n,p", [(0, 3), (4, 0)])
def test_empty_inputs(family, n, p):
    r = t.fit_pirls(np.ones(n), np.zeros((n, p)), [], [], family)
    assert (r["iterations"], r["converged"]) == (1, True)
    assert r["coefficients"].shape == (p,) and r["fitted_values"].shape == (n,)
