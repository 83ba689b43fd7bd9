"""The public surface: the method and function table once (order, signatures, doc
strings), the GAM object's construction and getters, the module functions' messages, and
the module under re-import and sub-interpreters."""
import numpy as np
import pytest

import velkan_core as vc
from tests.helpers import run_python
from tests.oracles import cr_basis, cr_penalty, embed

ARGS_XY = "Args:\n    x: Input data (n x d array)\n    y: Response variable (n array)\n"
K_LINE = "    k: List of basis dimensions for each column (like k in velkan)\n"
EXAMPLE = "\nExample:\n    gam = GAM()\n    result = gam."
TABLE = [  # (name, text signature, doc), in registration order
    ("GAM", "(family=None)", "Python wrapper for GAM"),
    ("compute_penalty_matrix", "(basis_type, num_basis, knots)",
     "Compute penalty matrix for debugging/comparison\nReturns the raw penalty matrix for a given basis type"),
    ("evaluate_gradient", "(x, y, lambdas, k_values)",
     "Evaluate REML gradient at fixed lambda (for testing/comparison)\nReturns gradient vector"),
    ("reml_gradient_multi_qr_py", "(y, x, w, lambdas, penalties)", None),
    ("reml_hessian_multi_qr_py", "(y, x, w, lambdas, penalties)", None),
    ("newton_pirls_py", "(y, x, w, initial_log_lambda, penalties, max_iter, grad_tol, verbose)", None),
    ("ConvergenceWarning", None, "A fit kept results from an iteration that stopped before it converged."),
    ("GAM.add_cubic_spline", "($self, var_name, num_basis, x_min, x_max)", None),
    ("GAM.fit", '($self, x, y, k, method="REML", bs=None, max_iter=None)',
     "Fit GAM with automatic smooth setup and all optimizations (recommended)\n\nThis is the main fitting "
     "method with sensible defaults and best performance.\nIt automatically sets up smooths for each column and "
     "uses all optimizations.\n\n" + ARGS_XY + K_LINE + '    method: "REML" (default) or "GCV"\n    bs: Basis '
     'type: "cr" (cubic regression splines, default) or "bs" (B-splines)\n    max_iter: Maximum iterations '
     "(default: 10)\n" + EXAMPLE + "fit(X, y, k=[10, 15, 20])"),
    ("GAM.fit_manual", "($self, x, y, method, max_iter)",
     "Low-level fit method for users who manually configure smooths\n\nMost users should use `fit()` instead, "
     "which provides automatic setup.\nThis method is for advanced users who want full control over smooth "
     "configuration."),
    ("GAM.fit_auto", "($self, x, y, k, method, bs, max_iter)",
     "Fit GAM with automatic smooth setup from k values\n\n" + ARGS_XY + K_LINE + '    method: "GCV" or "REML"\n'
     '    bs: Basis type: "bs" (B-splines) or "cr" (cubic regression splines, velkan default)\n    max_iter: '
     "Maximum iterations\n" + EXAMPLE + "fit_auto(X, y, k=[10, 15, 20], method='REML', bs='cr')"),
    ("GAM.fit_auto_optimized", "($self, x, y, k, method, bs=None, max_iter=None)",
     "Fit GAM with automatic smooth setup (optimized version with caching)\n\nUses caching and improved "
     "algorithms for better performance"),
    ("GAM.fit_formula", "($self, x, y, formula, method, max_iter)",
     "Fit GAM with formula-like syntax (velkan-style)\n\n" + ARGS_XY + '    formula: Formula string like '
     '"s(0, k=10) + s(1, k=15)"\n    method: "REML" (default) or "GCV"\n    max_iter: Maximum iterations\n' +
     EXAMPLE + "fit_formula(X, y, formula=\"s(0, k=10) + s(1, k=15)\", method='REML')"),
    ("GAM.predict", "($self, x)", None), ("GAM.get_lambda", "($self)", None),
    ("GAM.get_all_lambdas", "($self)", "Get all smoothing parameters (for multi-variable GAMs)"),
    ("GAM.get_fitted_values", "($self)", None),
    ("GAM.get_family", "($self)", "Get the family (distribution) used by this GAM"),
    ("GAM.get_coefficients", "($self)", "Get the fitted coefficients"),
    ("GAM.get_design_matrix", "($self)", "Get the design matrix (predictor matrix)"),
]


def test_method_and_function_table():
    assert [n for n in vars(vc) if not n.startswith("__")] + [
        "GAM." + n for n in vars(vc.GAM) if not n.startswith("__")] == [row[0] for row in TABLE]
    for name, signature, doc in TABLE:
        obj = vc.GAM if name == "GAM" else getattr(vc.GAM if "." in name else vc, name.split(".")[-1])
        assert (obj.__text_signature__, obj.__doc__ or None) == (signature, doc), name
    assert issubclass(vc.ConvergenceWarning, RuntimeWarning)


class TestGAM:
    @pytest.mark.parametrize("args, kwargs, family", [
        ((), {}, "gaussian"), ((None,), {}, "gaussian"), ((), {"family": "gamma"}, "gamma"),
        (("poisson",), {}, "poisson")])
    def test_families(self, args, kwargs, family):
        g = vc.GAM(*args, **kwargs)
        g.__init__("binomial")  # fixed for life
        assert g.get_family() == family

    @pytest.mark.parametrize("args, kwargs, exc", [
        (("gaussian\x00",), {}, ValueError), ((b"gaussian",), {}, TypeError), ((), {"familly": "gaussian"}, TypeError),
    ])
    def test_refused(self, args, kwargs, exc):
        with pytest.raises(exc) as info:
            vc.GAM(*args, **kwargs)
        if exc is ValueError:
            assert info.value.args == (
                f"Unknown family '{args[0]}'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'",)

    @pytest.mark.parametrize("getter", ["get_lambda", "get_all_lambdas", "get_fitted_values", "get_coefficients",
                                        "get_design_matrix"])
    def test_getters_before_a_fit(self, getter):
        with pytest.raises(ValueError, match="^Model not fitted yet$"):
            getattr(vc.GAM(), getter)()
        with pytest.raises(TypeError):
            getattr(vc.GAM(), getter)(1)


class TestModuleFunctions:
    def test_penalty_matrix(self):
        for knots in (np.zeros(0), np.array([5.0, -1.0, np.nan])):  # tps: a fixed diagonal
            s = vc.compute_penalty_matrix("thin_plate", 4, knots)
            assert s.flags.c_contiguous and s.tolist() == np.diag([0.0, 0.0, 1.0, 1.0]).tolist()
        s = vc.compute_penalty_matrix(knots=np.linspace(0, 1, 6), num_basis=6, basis_type="cr")
        np.testing.assert_allclose(s, cr_penalty(np.linspace(0, 1, 6)), rtol=1e-10, atol=1e-9)

    @pytest.mark.parametrize("args, exc, text", [
        (("CR", 4, np.zeros(4)), ValueError, "Failed to compute penalty: Invalid parameter: Unknown basis type: CR"),
        (("cr", 5, np.linspace(0, 1, 10)[::2]), TypeError, "The given array is not contiguous"),
        (("tps", 4.0, np.zeros(2)), TypeError, "num_basis"), (("tps", 4, [0.0, 1.0]), TypeError, "knots"),
        (("tps", -1, np.zeros(2)), OverflowError, ""), (("tps", 4), TypeError, "knots"),
    ])
    def test_penalty_matrix_refusals(self, args, exc, text):
        with pytest.raises(exc) as info:
            vc.compute_penalty_matrix(*args)
        assert type(info.value) is exc and text in str(info.value)

    def test_evaluate_gradient_is_the_gradient_of_the_model_it_builds(self, rng):
        x = rng.uniform(-2, 5, size=(300, 3))  # the third column is ignored
        y = np.sin(x[:, 1]) + rng.normal(size=300)
        knots = [np.linspace(x[:, j].min(), x[:, j].max(), k) for j, k in enumerate([8, 12])]
        X = np.hstack([cr_basis(x[:, j], kn) for j, kn in enumerate(knots)])
        S = embed([cr_penalty(kn) for kn in knots])
        want = vc.reml_gradient_multi_qr_py(penalties=S, lambdas=[1.0, 0.01], w=np.ones(300), x=X, y=y)
        np.testing.assert_allclose(vc.evaluate_gradient(x, y, [1.0, 0.01], [8, 12]), want, rtol=1e-9, atol=1e-11)

    @pytest.mark.parametrize("call, message", [
        (lambda x, y: vc.evaluate_gradient(x, y, [1.0] * 3, [5, 5, 5]),
         "k_values has 3 entries but x has only 2 columns"),
        (lambda x, y: vc.evaluate_gradient(x, y, [1.0], [5, 5]), "Gradient computation failed: Matrix "
         "dimension mismatch: Number of lambdas (1) must match number of penalties (2)"),
        (lambda x, y: vc.reml_hessian_multi_qr_py(y[:9], x, np.ones(30), [1.0], [np.eye(2)]),
         "Hessian computation failed: Matrix dimension mismatch: X has 30 rows but y has 9 elements"),
        (lambda x, y: vc.reml_gradient_multi_qr_py(y, x, np.ones(30), [1.0], [np.full((2, 2), np.nan)]),
         "Gradient computation failed: Invalid parameter: Penalty matrix has non-finite entries"),
        (lambda x, y: vc.reml_gradient_multi_qr_py(y, x, np.ones(30), [-1.0], [np.eye(2)]),
         "lambdas must be finite and non-negative"),
        (lambda x, y: vc.newton_pirls_py(y, x, np.ones(30), np.zeros(1), [np.eye(2)] * 2, None, None, None),
         "Newton-PIRLS optimization failed: Matrix dimension mismatch: Number of penalties (2) must "
         "match log_lambda (1)"),
    ])
    def test_messages(self, call, message, rng):
        with pytest.raises(ValueError) as e:
            call(rng.uniform(size=(30, 2)), rng.normal(size=30))
        assert message in str(e.value)

    def test_newton_pirls_defaults(self, rng, capsys):
        x, y = rng.uniform(size=(60, 2)), rng.normal(size=60)
        args = (y, x, np.ones(60), np.zeros(1), [np.diag([1.0, 0.0])])
        by_none = vc.newton_pirls_py(*args, None, None, None)
        assert by_none[2:] == vc.newton_pirls_py(*args, 100, 1e-6, False)[2:] and capsys.readouterr().out == ""
        assert type(by_none[2]) is float and type(by_none[3]) is int and type(by_none[4]) is bool
        for bad, exc in [((-1, None, None), OverflowError), ((None, "tight", None), TypeError),
                         ((None, None), TypeError)]:
            with pytest.raises(exc):
                vc.newton_pirls_py(*args, *bad)


def test_reimport_and_sub_interpreters():
    code = """
import sys, numpy as np
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters
import velkan_core as first
g = first.GAM('poisson')
del sys.modules['velkan_core']
import velkan_core as second
assert first is not second and first.GAM is not second.GAM
penalty = lambda m: m.compute_penalty_matrix('tps', 3, np.zeros(1)).tolist()
print(penalty(first) == penalty(second))
iid = interpreters.create()
try:
    interpreters.run_string(iid, 'import velkan_core')
except Exception as e:
    print('refused:', e)
interpreters.run_string(iid, 'import sys; assert "velkan_core" not in sys.modules')
interpreters.destroy(iid)
print(g.get_family(), second.GAM('gamma').get_family())
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "True" and lines[2] == "poisson gamma"
    assert lines[1].startswith("refused:") and "ImportError" in lines[1] and "sub-interpreters" in lines[1]
