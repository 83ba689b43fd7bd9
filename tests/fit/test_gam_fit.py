"""The model's fit paths end to end: start values, deviance, formula columns, recovery of
simulated truths, and the cached gaussian fit against its steps done afresh."""
import numpy as np
import pytest

import _velkan_testing as vt
from benchmarks.simulate import simulate
from tests.oracles import embed, scaled
from velkan_core import GAM

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]


def scaled_penalties(g, x, ks):
    """The fit's scaled, embedded penalties from its stored design and the raw penalties."""
    design, blocks, off = g.get_design_matrix(), [], 0
    for j, k in enumerate(ks):
        blocks.append(scaled(design[:, off:off + k], vt.smooth_bs_term(k, x[:, j].copy())["penalty"]))
        off += k
    return design, embed(blocks)


@pytest.mark.parametrize("x_scale, y_of, expected", [
    (1.0, lambda y: y, None),                      # SSy F1 / (Q + 1e-10), inside the clamp
    (1.0, lambda y: 1e4 * y, 1e6),                 # above: clamped
    (1.0, lambda y: np.full_like(y, 3.0), 1e-6),   # constant response: SSy = 0
    (1e155, lambda y: 1e200 * y, 1e-6),            # SSy and Q overflow: NaN -> 1e-6
], ids=["formula", "upper-clamp", "constant", "nan"])
def test_max_iter_zero_stores_the_start_value(x_scale, y_of, expected, rng):
    x = x_scale * rng.uniform(size=(150, 2))
    y = y_of(np.sin(6.0 * x[:, 0] / x_scale) + 0.3 * rng.standard_normal(150))
    g = GAM()
    with np.errstate(all="ignore"):
        r = g.fit(x, y, [8, 6], max_iter=0)
        if expected is None:
            s = scaled_penalties(g, x, [8])[1][0]
            expected = np.sum((y - y.mean()) ** 2) * np.linalg.norm(s) / (np.sum(x ** 2) + 1e-10)
            assert 1e-6 < expected < 1e6
    np.testing.assert_allclose(r["lambda"], [expected, expected], rtol=1e-12)


@pytest.mark.parametrize("family", FAMILIES)
def test_recovery_deviance_and_paths_agree(family):
    # RMSE against the true mean relative to its spread; measured 0.05, 0.34, 0.16, 0.14.
    bound = {"gaussian": 0.1, "binomial": 0.45, "poisson": 0.25, "gamma": 0.25}[family]
    x, y, mu = simulate(1000, 2, family, seed=3)
    cached = GAM(family).fit(x, y, [10, 10])
    plain = GAM(family).fit_auto(x, y, [10, 10], "REML", None, None)
    assert np.sqrt(np.mean((cached["fitted_values"] - mu) ** 2)) < bound * mu.std()
    np.testing.assert_allclose(plain["fitted_values"], cached["fitted_values"], rtol=1e-6)
    np.testing.assert_allclose(np.log(plain["lambda"]), np.log(cached["lambda"]), atol=1e-4)
    for r in (cached, plain):  # the stored deviance is the residual sum of squares
        np.testing.assert_allclose(r["deviance"], np.sum((y - r["fitted_values"]) ** 2), rtol=1e-12)


@pytest.mark.parametrize("formula, columns, k", [
    ("s(1, k=8) + s(0, k=6)", [1, 0], [8, 6]), ("s(2, k=7) + s(0, k=5) + s(2, k=6)", [2, 0, 2], [7, 5, 6]),
])
def test_formula_terms_use_their_own_columns(formula, columns, k, rng):
    x = rng.uniform(size=(200, 3))
    y = np.sin(5 * x[:, 2]) + x[:, 0] ** 2 + 0.2 * rng.standard_normal(200)
    g, ref = GAM(), GAM()
    got = g.fit_formula(x, y, formula, "REML", None)
    want = ref.fit_auto(x[:, columns], y, k, "REML", "bs", None)
    for key in ("lambda", "deviance", "fitted_values"):
        np.testing.assert_allclose(got[key], want[key], rtol=1e-10, atol=1e-12)
    new = rng.uniform(size=(50, 3))
    np.testing.assert_allclose(g.predict(new), ref.predict(new[:, columns]), rtol=1e-10, atol=1e-12)
    with pytest.raises(ValueError, match=r"^Matrix dimension mismatch: .*\b4\b.*\b3\b"):
        g.predict(np.hstack([x, x[:, :1]]))


def test_cached_gaussian_fit_equals_its_steps_done_afresh(rng):
    # An offset far from the noise: the cached residual sums must fall back to the data.
    x = rng.uniform(size=(3000, 2))
    y = 5.0 + np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + 0.3 * rng.standard_normal(3000)
    g = GAM()
    r = g.fit(x, y, [8, 6])
    design, pens = scaled_penalties(g, x, [8, 6])
    lam, w = np.full(2, 0.1), np.ones(3000)
    for _ in range(10):
        step = vt.fit_pirls(y, design, lam, pens, "gaussian")
        new, error = vt.search_optimize(y, design, step["weights"], pens, lam)
        assert error is None
        change, lam = np.abs(np.log(new) - np.log(lam)).max(), new
        if change < 1e-6:
            break
    final = vt.fit_pirls(y, design, lam, pens, "gaussian")
    np.testing.assert_allclose(r["lambda"], lam, rtol=1e-7)
    np.testing.assert_allclose(g.get_coefficients(), final["coefficients"], atol=1e-7 * np.abs(lam).max())
    # Searches sharing one cache and memo: the repeats take every score from the memo.
    lambdas, remembered = vt.search_optimize_reused(y, design, w, pens, 3)
    np.testing.assert_allclose(lambdas[0], vt.search_optimize(y, design, w, pens, np.ones(2))[0], rtol=1e-8)
    np.testing.assert_array_equal(lambdas[2], lambdas[0])
    assert remembered[0] > 0 and remembered[2] == remembered[0]
