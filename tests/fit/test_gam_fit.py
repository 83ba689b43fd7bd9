"""The model's fit paths end to end: start values, stored deviance, formula columns,
recovery of simulated truths, and the cached path's timing lines."""
import re

import numpy as np
import pytest

import _velkan_testing as vt
from benchmarks.simulate import simulate, true_mean
from tests.helpers import run_python
from velkan_core import GAM

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]


def lambda0(g, x, y, k0):
    """SSy * F1 / (Q + 1e-10) from the stored design and the first smooth's raw penalty."""
    b = g.get_design_matrix()[:, :k0]
    s = vt.smooth_bs_term(k0, x[:, 0].copy())["penalty"]
    scale = np.abs(b).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max()
    return np.sum((y - y.mean()) ** 2) * np.linalg.norm(scale * s) / (np.sum(x ** 2) + 1e-10)


class TestCachedStartValue:
    @pytest.mark.parametrize("x_scale, y_of, expected", [
        (1.0, lambda y: y, None),                      # the formula, inside the clamp
        (1.0, lambda y: 1e4 * y, 1e6),                 # above: clamped
        (1.0, lambda y: np.full_like(y, 3.0), 1e-6),   # constant response: SSy = 0
        (1e155, lambda y: 1e200 * y, 1e-6),            # SSy and Q overflow: NaN -> 1e-6
    ], ids=["formula", "upper-clamp", "constant", "nan"])
    def test_max_iter_zero_stores_lambda0(self, x_scale, y_of, expected, rng):
        x = x_scale * rng.uniform(size=(150, 2))
        y = y_of(np.sin(6.0 * x[:, 0] / x_scale) + 0.3 * rng.standard_normal(150))
        g = GAM()
        with np.errstate(all="ignore"):
            r = g.fit(x, y, [8, 6], max_iter=0)
            want = lambda0(g, x, y, 8) if expected is None else expected
        if expected is None:
            assert 1e-6 < want < 1e6
        np.testing.assert_allclose(r["lambda"], [want, want], rtol=1e-12)


def family_data(family, rng, n=300):
    x = rng.uniform(size=(n, 2))
    eta = np.sin(2 * np.pi * x[:, 0]) + x[:, 1]
    y = {"gaussian": lambda: eta + 0.3 * rng.standard_normal(n),
         "binomial": lambda: (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float),
         "poisson": lambda: rng.poisson(np.exp(eta)).astype(float),
         "gamma": lambda: rng.gamma(10.0, 1.0 / (2.0 + 0.5 * eta) / 10.0)}[family]()
    return x, y


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("fit", [lambda g, x, y: g.fit(x, y, [8, 6]),
                                 lambda g, x, y: g.fit_auto(x, y, [8, 6], "REML", "cr", None)],
                         ids=["cached", "plain"])
def test_deviance_is_the_residual_sum_of_squares(family, fit, rng):
    x, y = family_data(family, rng)
    r = fit(GAM(family), x, y)
    np.testing.assert_allclose(r["deviance"], np.sum((y - r["fitted_values"]) ** 2), rtol=1e-12)


class TestFormulaColumns:
    """Each formula term is evaluated on its own column, in fit and in predict; the
    reference is an automatic fit on the columns rearranged into term order."""

    @pytest.mark.parametrize("formula, columns, k", [
        ("s(1, k=8) + s(0, k=6)", [1, 0], [8, 6]),
        ("s(2, k=7) + s(0, k=5) + s(2, k=6)", [2, 0, 2], [7, 5, 6]), ("s(2, k=7)", [2], [7]),
    ], ids=["reversed", "repeated", "subset"])
    def test_matches_fit_on_rearranged_columns(self, formula, columns, k, rng):
        x = rng.uniform(size=(200, 3))
        y = np.sin(5 * x[:, 2]) + x[:, 0] ** 2 + 0.2 * rng.standard_normal(200)
        g, ref = GAM(), GAM()
        got = g.fit_formula(x, y, formula, "REML", None)
        want = ref.fit_auto(x[:, columns], y, k, "REML", "bs", None)
        for key in ("lambda", "deviance", "fitted_values"):
            np.testing.assert_allclose(got[key], want[key], rtol=1e-10, atol=1e-12)
        new = rng.uniform(size=(50, 3))
        np.testing.assert_allclose(g.predict(new), ref.predict(new[:, columns]),
                                   rtol=1e-10, atol=1e-12)

    def test_predict_needs_the_fitted_column_count(self, rng):
        x = rng.uniform(size=(100, 3))
        g = GAM()
        g.fit_formula(x, x[:, 2], "s(2, k=5)", "REML", None)
        with pytest.raises(ValueError, match=r"^Matrix dimension mismatch: .*\b4\b.*\b3\b"):
            g.predict(np.hstack([x, x[:, :1]]))


class TestRecovery:
    """REML fits of a simulated additive model recover its mean."""

    # RMSE against the true mean as a fraction of the true mean's own spread; measured
    # 0.05 (gaussian), 0.34 (binomial), 0.16 (poisson), 0.14 (gamma) with these seeds.
    BOUND = {"gaussian": 0.1, "binomial": 0.45, "poisson": 0.25, "gamma": 0.25}

    @pytest.mark.parametrize("family", FAMILIES)
    def test_rmse_and_paths_agree(self, family):
        x, y, mu = simulate(1000, 2, family, seed=3)
        cached = GAM(family).fit(x, y, [10, 10])
        plain = GAM(family).fit_auto(x, y, [10, 10], "REML", None, None)
        rmse = np.sqrt(np.mean((cached["fitted_values"] - mu) ** 2))
        assert rmse < self.BOUND[family] * mu.std()
        # The two paths differ only in start values and tolerance.
        np.testing.assert_allclose(plain["fitted_values"], cached["fitted_values"], rtol=1e-6)
        np.testing.assert_allclose(np.log(plain["lambda"]), np.log(cached["lambda"]), atol=1e-4)

    def test_held_out_gaussian(self):
        x, y, _ = simulate(1000, 4, "gaussian", seed=5)
        g = GAM()
        g.fit(x, y, [10] * 4)
        x_new = np.random.default_rng(6).uniform(0.02, 0.98, size=(500, 4))
        err = g.predict(x_new) - true_mean(x_new, "gaussian")
        assert np.sqrt(np.mean(err ** 2)) < 0.3  # measured 0.22; noise sd 1, sd(y) 2.5


PROFILE_SCRIPT = """
import numpy as np, velkan_core
rng = np.random.default_rng(1)
x = rng.uniform(size=(200, 2))
y = np.sin(6 * x[:, 0]) + 0.3 * rng.standard_normal(200)
velkan_core.GAM().fit(x, y, [8, 6], max_iter={max_iter})
velkan_core.GAM().fit_auto(x, y, [8, 6], "REML", None, 0)
try:
    velkan_core.GAM().fit(np.zeros((0, 0)), np.zeros(0), [])
except ValueError:
    pass
"""
PHASES = ["Basis evaluation", "Penalty computation", "Total cache build", "PiRLS iterations",
          "REML optimization"]


@pytest.mark.parametrize("max_iter", [0, 3])
def test_profile_lines(max_iter):
    code = PROFILE_SCRIPT.format(max_iter=max_iter)
    on = run_python(code, env_extra={"VELKAN_PROFILE": ""})
    assert on.returncode == 0, on.stderr
    # The search adds lines of its own; the fit's five come once, in order, and neither the
    # plain fit nor the rejected empty response adds any.
    pattern = re.compile(r"^\[PROFILE\] (" + "|".join(PHASES) + r"): (\d+\.\d\d)ms$")
    found = [m.groups() for m in map(pattern.match, on.stdout.splitlines()) if m]
    assert [phase for phase, _ in found] == PHASES
    if max_iter == 0:
        assert found[-1][1] == "0.00"
    off = run_python(code, unset=["VELKAN_PROFILE"])
    assert off.returncode == 0 and off.stdout == ""
