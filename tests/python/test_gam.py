"""The GAM object: construction, family, getters, doc strings, signatures, borrow flag."""
import inspect

import numpy as np
import pytest

from velkan_core import GAM

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]
UNFITTED_GETTERS = ["get_lambda", "get_all_lambdas", "get_fitted_values", "get_coefficients",
                    "get_design_matrix"]
# The whole method table in its order; the fitting methods arrive with the fit paths.
METHOD_ORDER = ["add_cubic_spline", "fit", "fit_manual", "fit_auto", "fit_auto_optimized",
                "fit_formula", "predict", "get_lambda", "get_all_lambdas", "get_fitted_values",
                "get_family", "get_coefficients", "get_design_matrix"]


def unknown_family(name):
    return f"Unknown family '{name}'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'"


class TestConstruction:
    @pytest.mark.parametrize("make", [GAM, lambda: GAM(None), lambda: GAM(family=None)],
                             ids=["omitted", "positional-none", "keyword-none"])
    def test_default_is_gaussian(self, make):
        assert make().get_family() == "gaussian"

    @pytest.mark.parametrize("family", FAMILIES)
    def test_each_family(self, family):
        assert GAM(family).get_family() == family
        assert GAM(family=family).get_family() == family

    @pytest.mark.parametrize("name", ["Gaussian", "GAMMA", "normal", "", " gaussian", "gaussian\x00"])
    def test_unknown_family(self, name):
        with pytest.raises(ValueError) as info:
            GAM(name)
        assert type(info.value) is ValueError
        assert info.value.args == (unknown_family(name),)

    @pytest.mark.parametrize("args, kwargs", [
        ((1,), {}), ((b"gaussian",), {}), (("gaussian", "binomial"), {}),
        ((), {"familly": "gaussian"}), (("gaussian",), {"family": "gaussian"}),
    ])
    def test_unbindable_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            GAM(*args, **kwargs)

    def test_family_is_fixed_for_life(self):
        g = GAM("poisson")
        g.__init__("gamma")
        assert g.get_family() == "poisson"


class TestGetters:
    @pytest.mark.parametrize("getter", UNFITTED_GETTERS)
    def test_fresh_object_not_fitted(self, getter):
        with pytest.raises(ValueError) as info:
            getattr(GAM(), getter)()
        assert type(info.value) is ValueError
        assert info.value.args == ("Model not fitted yet",)

    @pytest.mark.parametrize("getter", UNFITTED_GETTERS + ["get_family"])
    def test_getters_take_no_arguments(self, getter):
        with pytest.raises(TypeError):
            getattr(GAM(), getter)(1)


class TestDocumentation:
    def test_class(self):
        assert GAM.__doc__ == "Python wrapper for GAM"
        assert GAM.__text_signature__ == "(family=None)"
        assert str(inspect.signature(GAM)) == "(family=None)"

    @pytest.mark.parametrize("name, doc", [
        ("get_lambda", None),
        ("get_all_lambdas", "Get all smoothing parameters (for multi-variable GAMs)"),
        ("get_fitted_values", None),
        ("get_family", "Get the family (distribution) used by this GAM"),
        ("get_coefficients", "Get the fitted coefficients"),
        ("get_design_matrix", "Get the design matrix (predictor matrix)"),
    ])
    def test_getters(self, name, doc):
        method = getattr(GAM, name)
        assert method.__text_signature__ == "($self)"
        if doc is None:
            assert not method.__doc__
        else:
            assert method.__doc__ == doc

    def test_method_table_order(self):
        present = [n for n in vars(GAM) if n in METHOD_ORDER]
        assert set(UNFITTED_GETTERS + ["get_family"]) <= set(present)
        assert present == [n for n in METHOD_ORDER if n in present]
        assert [n for n in vars(GAM) if not n.startswith("__")] == present


class Reenter:
    """An int / float whose conversion first runs `action` (Python code during binding)."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class TestBorrowFlag:
    """Argument conversion can run Python code that calls back into the same object: the
    object is marked busy before its arguments are converted."""

    @staticmethod
    def data():
        x = np.linspace(0.0, 1.0, 40).reshape(-1, 1)
        return x, np.sin(6.0 * x[:, 0])

    def test_reentrant_call_during_add_cubic_spline(self):
        g = GAM()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            g.add_cubic_spline("a", 5, Reenter(lambda: g.add_cubic_spline("b", 5, 0.0, 1.0), 0),
                               1.0)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            g.add_cubic_spline("a", 5, 0.0, Reenter(g.get_family, 1))
        g.add_cubic_spline("a", 5, 0.0, 1.0)

    def test_other_objects_stay_usable(self):
        g, other = GAM(), GAM("poisson")
        seen = []
        x, y = self.data()
        result = g.fit(x, y, k=[Reenter(lambda: seen.append(other.get_family()), 5)])
        assert seen == ["poisson"] and result["fitted"] is True
