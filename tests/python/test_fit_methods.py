"""The fitting methods of GAM: messages, result dictionaries, the smooth list across
failures, and predict."""
import numpy as np
import pytest

import _velkan_testing as vt
from velkan_core import GAM

N = 120
GCV_REFUSAL = "Multiple smooths not yet properly implemented for GCV"
NOT_FITTED = "Invalid parameter: Model has not been fitted yet"
MISMATCH = "Matrix dimension mismatch: "


def manual(g, x, y, method="REML", max_iter=None):
    g.add_cubic_spline("a", 6, 0.0, 1.0)
    g.add_cubic_spline("b", 5, 0.0, 1.0)
    return g.fit_manual(x, y, method, max_iter)


# Each fits a two-column x with six and five basis functions.
FITS = {
    "fit": lambda g, x, y, method="REML", max_iter=None: g.fit(x, y, [6, 5], method=method,
                                                                max_iter=max_iter),
    "fit_auto_optimized": lambda g, x, y, method="REML", max_iter=None: g.fit_auto_optimized(
        x, y, [6, 5], method, None, max_iter),
    "fit_auto": lambda g, x, y, method="REML", max_iter=None: g.fit_auto(
        x, y, [6, 5], method, None, max_iter),
    "fit_formula": lambda g, x, y, method="REML", max_iter=None: g.fit_formula(
        x, y, "s(0, k=6) + s(1, k=5)", method, max_iter),
    "fit_manual": manual,
}
CACHED = {"fit", "fit_auto_optimized"}
AUTOMATIC = ["fit", "fit_auto_optimized", "fit_auto", "fit_formula"]


@pytest.fixture
def data(rng):
    x = rng.uniform(size=(N, 2))
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] + 0.2 * rng.standard_normal(N)
    return x, y


def value_error(call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    return info.value.args[0]


def snapshot(g):
    return [g.get_coefficients(), g.get_all_lambdas(), g.get_fitted_values(),
            g.get_design_matrix()]


class TestResult:
    @pytest.mark.parametrize("name", FITS)
    def test_keys_values_and_getters(self, name, data):
        x, y = data
        g = GAM()
        r = FITS[name](g, x, y)
        keys = ["lambda", "all_lambdas", "deviance", "fitted_values", "fitted"]
        if name not in CACHED:
            keys.remove("all_lambdas")
        assert list(r) == keys
        if name in CACHED:
            assert r["all_lambdas"] is r["lambda"]
        assert r["fitted"] is True and type(r["deviance"]) is float
        assert r["lambda"].dtype == np.float64 and r["lambda"].shape == (2,)
        np.testing.assert_array_equal(r["lambda"], g.get_all_lambdas())
        np.testing.assert_array_equal(r["fitted_values"], g.get_fitted_values())
        assert g.get_design_matrix().shape == (N, 11)
        np.testing.assert_allclose(g.predict(x), r["fitted_values"], rtol=1e-12, atol=1e-12)

    # The cached path starts from lambda0 instead (tests/fit/test_gam_fit.py).
    @pytest.mark.parametrize("name", sorted(set(FITS) - CACHED))
    def test_max_iter_zero_plain_path_stores_start_values(self, name, data):
        r = FITS[name](GAM(), *data, max_iter=0)
        np.testing.assert_array_equal(r["lambda"], [0.1, 0.1])


class TestSmoothSetup:
    def test_k_length_leaves_the_list_unchanged(self, data):
        x, y = data
        g = GAM()
        before = g.fit(x, y, [6, 5])["fitted_values"]
        x3 = np.column_stack([x, x[:, 0]])
        assert value_error(lambda: g.fit(x3, y, [5])) == \
            "k length (1) must match number of columns (3)"
        # The smooths of the earlier fit are still in place: predict accepts them and
        # fit_manual refits them.
        np.testing.assert_allclose(g.predict(x), before, rtol=1e-12)
        g.fit_manual(x, y, "REML", None)
        assert g.get_coefficients().shape == (11,)

    @pytest.mark.parametrize("name", AUTOMATIC)
    @pytest.mark.parametrize("method", ["reml", ""])
    def test_method_checked_after_the_list_was_rebuilt(self, name, method, data):
        x, y = data
        g = GAM()
        assert value_error(lambda: FITS[name](g, x, y, method=method)) == \
            "method must be 'GCV' or 'REML'"
        g.fit_manual(x, y, "REML", None)  # the two new smooths are there
        assert g.get_coefficients().shape == (11,)

    @pytest.mark.parametrize("kwargs, kind", [({}, "bs"), ({"bs": None}, "bs"), ({"bs": "bs"}, "bs"),
                                              ({"bs": "cr"}, "cr")])
    def test_basis_names(self, kwargs, kind, data):
        x, y = data
        g = GAM()
        g.fit(x, y, [6, 5], **kwargs)
        blocks = []
        for col, k in ((x[:, 0].copy(), 6), (x[:, 1].copy(), 5)):
            term = (vt.smooth_bs_term(k, col, col) if kind == "bs"
                    else vt.smooth_cr_term(k, col.min(), col.max(), col))
            blocks.append(term["values"])
        np.testing.assert_allclose(g.get_design_matrix(), np.hstack(blocks), rtol=1e-13, atol=1e-14)

    def test_upper_case_basis_refused(self, data):
        assert value_error(lambda: GAM().fit(*data, [6, 5], bs="CR")) == \
            "Unknown basis type 'CR'. Use 'bs' or 'cr'."


class TestAddCubicSpline:
    def test_four_functions_have_knots_at_the_ends(self, rng):
        x = rng.uniform(size=(N, 1))
        g = GAM()
        assert g.add_cubic_spline("t", 4, 0.0, 1.0) is None
        g.fit_manual(x, x[:, 0] ** 2, "REML", None)
        col = x[:, 0].copy()
        expected = vt.smooth_bs_knots_term(4, np.array([0.0, 1.0]), col)["values"]
        np.testing.assert_allclose(g.get_design_matrix(), expected, rtol=1e-13, atol=1e-14)

    @pytest.mark.parametrize("args, message", [
        ((3, 0.0, 1.0), "Invalid parameter: Need at least 2 knots for penalty matrix"),
        ((1, 0.0, 1.0), None), ((5, 1.0, 0.0), None), ((5, np.nan, 1.0), None),
    ])
    def test_refused_and_list_unchanged(self, args, message, rng):
        x = rng.uniform(size=(N, 1))
        g = GAM()
        g.add_cubic_spline("first", 5, 0.0, 1.0)
        text = value_error(lambda: g.add_cubic_spline("t", *args))
        assert text == message if message else text.startswith("Invalid parameter: ")
        g.fit_manual(x, x[:, 0], "REML", None)  # still exactly one smooth
        assert g.get_coefficients().shape == (5,)


class TestFailedFit:
    @pytest.mark.parametrize("call, message", [
        (lambda g, x, y: g.fit_manual(x, y[:-1], "REML", None),
         MISMATCH + f"X has {N} rows but y has {N - 1} elements"),
        (lambda g, x, y: g.fit_manual(np.column_stack([x, x]), y, "REML", None),
         MISMATCH + "X has 4 columns but model has 2 smooth terms"),
        (lambda g, x, y: g.fit_manual(x, y, "GCV", None), GCV_REFUSAL),
        (lambda g, x, y: g.fit_manual(x, np.where(np.arange(N) == 3, np.nan, y), "REML", None),
         "y contains NaN or infinite values"),
        (lambda g, x, y: g.fit_manual(np.where(x > 0.99, np.inf, x), y, "REML", None),
         "x contains NaN or infinite values"),
        (lambda g, x, y: g.fit(x, y, [6]), "k length (1) must match number of columns (2)"),
        (lambda g, x, y: g.predict(x[:, :1]),
         MISMATCH + "X has 1 columns but model has 2 smooth terms"),
    ], ids=["rows", "columns", "gcv-two-smooths", "nan-y", "inf-x", "k-length", "predict-columns"])
    def test_earlier_results_intact(self, call, message, data):
        x, y = data
        g = GAM()
        manual(g, x, y)
        before = snapshot(g)
        assert value_error(lambda: call(g, x, y)) == message
        for old, new in zip(before, snapshot(g)):
            np.testing.assert_array_equal(old, new)
        np.testing.assert_allclose(g.predict(x), before[2], rtol=1e-12)

    @pytest.mark.parametrize("name", ["fit", "fit_auto"])
    def test_gcv_with_two_smooths(self, name, data):
        assert value_error(lambda: FITS[name](GAM(), *data, method="GCV")) == GCV_REFUSAL

    @pytest.mark.parametrize("name, k, bs", [("fit", [6, 5], None), ("fit_auto", [10], "cr"),
                                             ("fit_formula", None, None)])
    def test_predict_refuses_after_a_failed_rebuild(self, name, k, bs, data):
        # Same sizes on other data: widths still match the old coefficients, so only the
        # record of which smooths were fitted can tell the new bases from the old.
        x, y = data
        x = x[:, : len(k)] if k else x
        g = GAM()

        def run(xx, method):
            if name == "fit_formula":
                return g.fit_formula(xx, y, "s(1, k=5) + s(0, k=6)", method, 2)
            return getattr(g, name)(xx, y, k, method, bs, 2)

        run(x, "REML")
        value_error(lambda: run(2.0 * x + 1.0, "reml"))
        assert value_error(lambda: g.predict(x)).startswith(MISMATCH)


class TestPredict:
    def test_before_fit(self, data):
        assert value_error(lambda: GAM().predict(data[0])) == NOT_FITTED

    def test_gamma_mean_at_a_zero_linear_predictor(self, rng):
        # Below the data the basis extrapolates linearly, so the fitted eta = 1/mu is a
        # straight line there that crosses zero; at its root predict gives the pole value.
        x = rng.uniform(size=(200, 1))
        y = rng.gamma(10.0, 1.0 / (0.5 + 2.0 * x[:, 0]) / 10.0)
        g = GAM("gamma")
        g.fit(x, y, [6])
        a, b = -1.0, -2.0
        eta_a, eta_b = 1.0 / g.predict(np.array([[a], [b]]))
        root = a - eta_a * (b - a) / (eta_b - eta_a)
        assert b < root < x.min()
        mu = g.predict(np.array([[root], [root - 0.5]]))
        assert mu[0] == 1e10
        np.testing.assert_allclose(1.0 / mu[1], -0.5 * (eta_b - eta_a) / (b - a), rtol=1e-8)


class TestArguments:
    def test_none_takes_the_defaults(self, data):
        x, y = data
        a = GAM().fit(x, y, [6, 5], None, None, None)
        b = GAM().fit(x, y, [6, 5], "REML", "bs", 10)
        np.testing.assert_array_equal(a["lambda"], b["lambda"])

    @pytest.mark.parametrize("call, error", [
        (lambda g, x, y: g.fit_auto_optimized(x, y, [6, 5], None), TypeError),
        (lambda g, x, y: g.fit_auto(x, y, [6, 5], None, None, None), TypeError),
        (lambda g, x, y: g.fit(x, y, [6, 5], max_iter=-1), OverflowError),
        (lambda g, x, y: g.fit_manual(x, y, "REML"), TypeError),
    ])
    def test_unconvertible(self, call, error, data):
        with pytest.raises(error):
            call(GAM(), *data)


SIGNATURES = {
    "add_cubic_spline": "($self, var_name, num_basis, x_min, x_max)",
    "fit": '($self, x, y, k, method="REML", bs=None, max_iter=None)',
    "fit_manual": "($self, x, y, method, max_iter)",
    "fit_auto": "($self, x, y, k, method, bs, max_iter)",
    "fit_auto_optimized": "($self, x, y, k, method, bs=None, max_iter=None)",
    "fit_formula": "($self, x, y, formula, method, max_iter)",
    "predict": "($self, x)",
}


def doc(*lines):
    return "\n".join(lines)


ARGS_XY = ["Args:", "    x: Input data (n x d array)", "    y: Response variable (n array)"]
K_LINE = "    k: List of basis dimensions for each column (like k in velkan)"
DOCS = {
    "fit": doc("Fit GAM with automatic smooth setup and all optimizations (recommended)", "",
               "This is the main fitting method with sensible defaults and best performance.",
               "It automatically sets up smooths for each column and uses all optimizations.", "",
               *ARGS_XY, K_LINE, '    method: "REML" (default) or "GCV"',
               '    bs: Basis type: "cr" (cubic regression splines, default) or "bs" (B-splines)',
               "    max_iter: Maximum iterations (default: 10)", "", "Example:", "    gam = GAM()",
               "    result = gam.fit(X, y, k=[10, 15, 20])"),
    "fit_manual": doc("Low-level fit method for users who manually configure smooths", "",
                      "Most users should use `fit()` instead, which provides automatic setup.",
                      "This method is for advanced users who want full control over smooth "
                      "configuration."),
    "fit_auto": doc("Fit GAM with automatic smooth setup from k values", "", *ARGS_XY, K_LINE,
                    '    method: "GCV" or "REML"',
                    '    bs: Basis type: "bs" (B-splines) or "cr" (cubic regression splines, '
                    'velkan default)', "    max_iter: Maximum iterations", "", "Example:",
                    "    gam = GAM()",
                    "    result = gam.fit_auto(X, y, k=[10, 15, 20], method='REML', bs='cr')"),
    "fit_auto_optimized": doc("Fit GAM with automatic smooth setup (optimized version with caching)",
                              "", "Uses caching and improved algorithms for better performance"),
    "fit_formula": doc("Fit GAM with formula-like syntax (velkan-style)", "", *ARGS_XY,
                       '    formula: Formula string like "s(0, k=10) + s(1, k=15)"',
                       '    method: "REML" (default) or "GCV"', "    max_iter: Maximum iterations",
                       "", "Example:", "    gam = GAM()",
                       '    result = gam.fit_formula(X, y, formula="s(0, k=10) + s(1, k=15)", '
                       "method='REML')"),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_and_doc(name):
    method = getattr(GAM, name)
    assert method.__text_signature__ == SIGNATURES[name]
    assert (method.__doc__ or "") == DOCS.get(name, "")
