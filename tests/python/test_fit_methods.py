"""The fitting methods of GAM: result dictionaries, start values, the smooth list across
failures (one row per refusal path), the hand-configured splines and predict."""
import numpy as np
import pytest

import _velkan_testing as vt
from velkan_core import GAM

N = 120
GCV_REFUSAL = "Multiple smooths not yet properly implemented for GCV"
MISMATCH = "Matrix dimension mismatch: "


def manual(g, x, y, method="REML", it=None):
    g.add_cubic_spline("a", 6, 0.0, 1.0)
    g.add_cubic_spline("b", 5, 0.0, 1.0)
    return g.fit_manual(x, y, method, it)


FITS = {  # each fits a two-column x with six and five basis functions
    "fit": lambda g, x, y, method="REML", it=None: g.fit(x, y, [6, 5], method=method, max_iter=it),
    "fit_auto_optimized": lambda g, x, y, method="REML", it=None: g.fit_auto_optimized(x, y, [6, 5], method, None, it),
    "fit_auto": lambda g, x, y, method="REML", it=None: g.fit_auto(x, y, [6, 5], method, None, it),
    "fit_formula": lambda g, x, y, method="REML", it=None: g.fit_formula(x, y, "s(0, k=6) + s(1, k=5)", method, it),
    "fit_manual": manual,
}
CACHED = {"fit", "fit_auto_optimized"}


@pytest.fixture
def data(rng):
    x = rng.uniform(size=(N, 2))
    return x, np.sin(2 * np.pi * x[:, 0]) + x[:, 1] + 0.2 * rng.standard_normal(N)


def value_error(call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    return info.value.args[0]


@pytest.mark.parametrize("name", FITS)
def test_result_and_getters(name, data):
    x, y = data
    g = GAM()
    r = FITS[name](g, x, y)
    assert list(r) == ["lambda"] + (["all_lambdas"] if name in CACHED else []) + ["deviance", "fitted_values", "fitted"]
    assert r.get("all_lambdas", r["lambda"]) is r["lambda"] and r["fitted"] is True and type(r["deviance"]) is float
    np.testing.assert_array_equal(r["lambda"], g.get_all_lambdas())
    np.testing.assert_array_equal(r["fitted_values"], g.get_fitted_values())
    np.testing.assert_allclose(g.predict(x), r["fitted_values"], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(g.get_design_matrix() @ g.get_coefficients(), r["fitted_values"], rtol=1e-10)
    if name == "fit_manual":  # evenly spaced knots from x_min to x_max, both ends included
        even = vt.smooth_bs_even_term(6, 0.0, 1.0, x[:, 0].copy())["values"]
        np.testing.assert_allclose(g.get_design_matrix()[:, :6], even, rtol=1e-13, atol=1e-14)
    if name not in CACHED:  # the plain path starts from 0.1 (the cached one: tests/fit)
        np.testing.assert_array_equal(FITS[name](GAM(), x, y, it=0)["lambda"], [0.1, 0.1])


@pytest.mark.parametrize("kwargs, kind", [({}, "bs"), ({"bs": None}, "bs"), ({"bs": "cr"}, "cr")])
def test_basis_names(kwargs, kind, data):
    x, y = data
    g = GAM()
    r = g.fit(x, y, [6, 5], **kwargs)
    term = lambda c, k: vt.smooth_bs_term(k, c, c) if kind == "bs" else vt.smooth_cr_term(k, c.min(), c.max(), c)
    blocks = [term(x[:, j].copy(), k)["values"] for j, k in ((0, 6), (1, 5))]
    np.testing.assert_allclose(g.get_design_matrix(), np.hstack(blocks), rtol=1e-13, atol=1e-14)
    if not kwargs:  # None takes the defaults
        np.testing.assert_array_equal(GAM().fit(x, y, [6, 5], None, None, None)["lambda"], r["lambda"])


NAN_ROW = np.where(np.arange(N) == 3, np.nan, 1.0)
CHANGED = "the smooth terms changed"


# (call on a model fitted by fit_manual, message, what predict says afterwards when the call
# had rebuilt the smooths: new ones of the same widths are told apart from the fitted ones)
@pytest.mark.parametrize("call, message, rebuilt", [
    (lambda g, x, y: g.fit_manual(x, y[:-1], "REML", None),
     MISMATCH + f"X has {N} rows but y has {N - 1} elements", None),
    (lambda g, x, y: g.fit_manual(np.hstack([x, x]), y, "REML", None),
     MISMATCH + "X has 4 columns but model has 2 smooth terms", None),
    (lambda g, x, y: g.fit_manual(x, y, "GCV", None), GCV_REFUSAL, None),
    (lambda g, x, y: g.fit_manual(x, NAN_ROW * y, "REML", None), "y contains NaN or infinite values", None),
    (lambda g, x, y: g.fit_manual(np.where(x > 0.99, np.inf, x), y, "REML", None),
     "x contains NaN or infinite values", None),
    (lambda g, x, y: g.fit(x, y, [6]), "k length (1) must match number of columns (2)", None),
    (lambda g, x, y: g.fit(x, y, [6, 5], bs="CR"), "Unknown basis type 'CR'. Use 'bs' or 'cr'.",
     "X has 2 columns but model has 0"),
    (lambda g, x, y: g.fit_auto(x, y, [6, 5], "GCV", None, None), GCV_REFUSAL, CHANGED),
    (lambda g, x, y: g.fit_formula(2 * x + 1, y, "s(1, k=5) + s(0, k=6)", "reml", 2),
     "method must be 'GCV' or 'REML'", CHANGED),
    (lambda g, x, y: g.add_cubic_spline("t", 3, 0.0, 1.0),
     "Invalid parameter: Need at least 2 knots for penalty matrix", None),
    (lambda g, x, y: g.add_cubic_spline("t", 5, np.nan, 1.0),
     "Invalid parameter: add_cubic_spline needs finite x_min < x_max, got x_min NaN and x_max 1", None),
    (lambda g, x, y: g.predict(x[:, :1]), MISMATCH + "X has 1 columns but model has 2 smooth terms", None),
])
def test_failures_keep_the_earlier_results(call, message, rebuilt, data):
    x, y = data
    g = GAM()
    manual(g, x, y)
    before = [g.get_coefficients(), g.get_all_lambdas(), g.get_fitted_values(), g.get_design_matrix(), g.predict(x)]
    assert value_error(lambda: call(g, x, y)) == message
    after = [g.get_coefficients(), g.get_all_lambdas(), g.get_fitted_values(), g.get_design_matrix()]
    for old, new in zip(before, after):
        np.testing.assert_array_equal(old, new)
    if rebuilt:
        assert value_error(lambda: g.predict(x)).startswith(MISMATCH + rebuilt)
    else:
        np.testing.assert_array_equal(g.predict(x), before[4])


def test_predict(rng):
    assert value_error(lambda: GAM().predict(np.zeros((2, 1)))) == "Invalid parameter: Model has not been fitted yet"
    # Gamma: below the data eta = 1/mu is a straight line crossing zero; at its root predict
    # gives the pole value 1e10.
    x = rng.uniform(size=(200, 1))
    g = GAM("gamma")
    g.fit(x, rng.gamma(10.0, 1.0 / (0.5 + 2.0 * x[:, 0]) / 10.0), [6])
    eta_a, eta_b = 1.0 / g.predict(np.array([[-1.0], [-2.0]]))
    root = -1.0 + eta_a / (eta_b - eta_a)
    mu = g.predict(np.array([[root], [root - 0.5]]))
    assert mu[0] == 1e10
    np.testing.assert_allclose(1.0 / mu[1], 0.5 * (eta_b - eta_a), rtol=1e-8)
