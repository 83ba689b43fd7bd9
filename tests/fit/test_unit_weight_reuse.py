"""Work a fit shares between its steps: gaussian PiRLS on X'X and X'y formed once, REML
searches reusing a cache and what earlier searches over the same data learnt, and the
gaussian fit built from them, each against the same computation done afresh."""
import numpy as np
import pytest

import _velkan_testing as T
from velkan_core import GAM

K = (8, 6)


def gaussian_data(rng, n=3000):
    # An offset far from zero relative to the noise: the cached residual sums then cancel
    # most digits from beta = 0 and must fall back to the data, then to anchors.
    x = rng.uniform(size=(n, 2))
    y = 5.0 + np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + 0.3 * rng.standard_normal(n)
    return x, y


def scaled_penalties(g, x):
    """The fit's scaled, embedded penalties from its stored design and the raw penalties."""
    design = g.get_design_matrix()
    p = design.shape[1]
    out, offset = [], 0
    for j, k in enumerate(K):
        s = T.smooth_bs_term(k, x[:, j].copy())["penalty"]
        block = design[:, offset:offset + k]
        c = np.abs(block).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max()
        full = np.zeros((p, p))
        full[offset:offset + k, offset:offset + k] = c * s
        out.append(full)
        offset += k
    return design, out


@pytest.fixture
def fitted(rng):
    x, y = gaussian_data(rng)
    g = GAM()
    r = g.fit(x, y, list(K))
    design, pens = scaled_penalties(g, x)
    return g, r, x, y, design, pens


class TestPirlsOnUnitWeightProducts:
    def test_gaussian_equals_the_fit_from_data(self, fitted):
        _, _, _, y, design, pens = fitted
        lam = [0.5, 3.0]
        plain = T.fit_pirls(y, design, lam, pens, "gaussian")
        cached = T.fit_pirls_unit_products(y, design, lam, pens, "gaussian")
        scale = np.abs(plain["coefficients"]).max()
        np.testing.assert_allclose(cached["coefficients"], plain["coefficients"], rtol=0,
                                   atol=1e-9 * scale)
        np.testing.assert_allclose(cached["fitted_values"], design @ cached["coefficients"],
                                   rtol=1e-12)
        np.testing.assert_array_equal(cached["weights"], np.ones(len(y)))
        assert cached["iterations"] == plain["iterations"] == 2
        assert cached["converged"] and cached["deviance"] == pytest.approx(plain["deviance"],
                                                                          rel=1e-10)

    def test_residual_sums_of_the_result(self, fitted):
        _, _, _, y, design, pens = fitted
        r = T.fit_pirls_unit_products(y, design, [0.5, 3.0], pens, "gaussian", None, None, True)
        resid = y - design @ r["coefficients"]
        assert r["rss"] == pytest.approx(np.sum(resid ** 2), rel=1e-12)
        np.testing.assert_allclose(r["xtr"], design.T @ resid, rtol=0,
                                   atol=1e-12 * np.abs(design.T @ y).max())
        np.testing.assert_allclose(r["linear_predictor"], design @ r["coefficients"], rtol=1e-12)
        np.testing.assert_array_equal(r["linear_predictor"], r["fitted_values"])

    @pytest.mark.parametrize("family", ["poisson", "binomial"])
    def test_other_families_ignore_the_products(self, rng, family):
        x = rng.uniform(size=(400, 3))
        y = (rng.uniform(size=400) < 0.4).astype(float)
        pens = [np.eye(3)]
        plain = T.fit_pirls(y, x, [1.0], pens, family)
        cached = T.fit_pirls_unit_products(y, x, [1.0], pens, family, None, None, True)
        for key in ("coefficients", "fitted_values", "weights"):
            np.testing.assert_array_equal(cached[key], plain[key])
        assert cached["rss"] is None

    def test_products_of_the_wrong_shape(self, rng):
        x = rng.uniform(size=(50, 5))
        with pytest.raises(ValueError, match=r"Cached cross products are 3x3 and 3 but X has 5"):
            T.fit_pirls_unit_products(rng.standard_normal(50), x, [1.0], [np.eye(5)], "gaussian",
                                      np.eye(3), np.zeros(3))


class TestReusedSearches:
    def test_repeated_search_equals_a_fresh_one(self, fitted):
        _, _, _, y, design, pens = fitted
        w = np.ones(len(y))
        fresh, error = T.search_optimize(y, design, w, pens, np.ones(2))
        assert error is None
        lambdas, remembered = T.search_optimize_reused(y, design, w, pens, 3)
        np.testing.assert_allclose(lambdas[0], fresh, rtol=1e-8)
        # The repeats take every score from the memo: the same path, the same answer.
        np.testing.assert_array_equal(lambdas[1], lambdas[0])
        np.testing.assert_array_equal(lambdas[2], lambdas[0])
        assert remembered[0] > 0 and remembered[2] == remembered[1] == remembered[0]


def test_gaussian_fit_equals_the_steps_done_afresh(fitted):
    # The outer loop of the cached fit, written out with PiRLS from the data and searches
    # that form their own cross products.
    g, r, x, y, design, pens = fitted
    lam = np.full(2, 0.1)
    for _ in range(10):
        step = T.fit_pirls(y, design, lam, pens, "gaussian")
        new, error = T.search_optimize(y, design, step["weights"], pens, lam)
        assert error is None
        change = np.abs(np.log(new) - np.log(lam)).max()
        lam = new
        if change < 1e-6:
            break
    final = T.fit_pirls(y, design, lam, pens, "gaussian")
    np.testing.assert_allclose(r["lambda"], lam, rtol=1e-7)
    coef = g.get_coefficients()
    np.testing.assert_allclose(coef, final["coefficients"], rtol=0,
                               atol=1e-7 * np.abs(coef).max())
    assert r["deviance"] == pytest.approx(np.sum((y - final["fitted_values"]) ** 2), rel=1e-9)
