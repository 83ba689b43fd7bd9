import numpy as np
import pytest

import velkan_core
from tests.reml.derivative_problems import cr_basis, cr_penalty

evaluate_gradient = velkan_core.evaluate_gradient
gradient = velkan_core.reml_gradient_multi_qr_py
hessian = velkan_core.reml_hessian_multi_qr_py


def built_model(x, k_values):
    """The design and unscaled embedded penalties evaluate_gradient builds."""
    blocks, small = [], []
    for j, k in enumerate(k_values):
        col = x[:, j]
        knots = np.linspace(np.nanmin(col), np.nanmax(col), k)
        blocks.append(cr_basis(col, knots))
        small.append(cr_penalty(knots))
    X = np.hstack(blocks)
    p, penalties, off = X.shape[1], [], 0
    for s in small:
        full = np.zeros((p, p))
        full[off:off + len(s), off:off + len(s)] = s
        penalties.append(full)
        off += len(s)
    return X, penalties


class TestSignatures:
    @pytest.mark.parametrize("f, signature, doc", [
        (evaluate_gradient, "(x, y, lambdas, k_values)",
         "Evaluate REML gradient at fixed lambda (for testing/comparison)\nReturns gradient vector"),
        (gradient, "(y, x, w, lambdas, penalties)", None),
        (hessian, "(y, x, w, lambdas, penalties)", None),
    ])
    def test_text_signature_and_doc(self, f, signature, doc):
        assert f.__text_signature__ == signature
        assert f.__doc__ == doc

    def test_keywords(self, rng):
        x = rng.uniform(size=(60, 1))
        y = rng.normal(size=60)
        X, S = built_model(x, [6])
        by_position = gradient(y, X, np.ones(60), [1.0], S)
        by_keyword = gradient(penalties=S, lambdas=[1.0], w=np.ones(60), x=X, y=y)
        np.testing.assert_array_equal(by_position, by_keyword)
        np.testing.assert_array_equal(evaluate_gradient(k_values=[6], lambdas=[1.0], y=y, x=x),
                                      evaluate_gradient(x, y, [1.0], [6]))


class TestEvaluateGradient:
    @pytest.mark.parametrize("k_values, lambdas", [([10], [0.5]), ([8, 12], [1.0, 0.01]),
                                                   ([6, 7, 9], [2.0, 0.3, 4.0])])
    def test_equals_gradient_of_the_model_it_builds(self, rng, k_values, lambdas):
        x = rng.uniform(-2, 5, size=(300, 4))  # the fourth column is ignored
        y = np.sin(x[:, 1]) + rng.normal(size=300)
        X, S = built_model(x, k_values)
        g = evaluate_gradient(x, y, lambdas, k_values)
        np.testing.assert_allclose(g, gradient(y, X, np.ones(300), lambdas, S), rtol=1e-9, atol=1e-11)

    def test_more_k_values_than_columns(self, rng):
        with pytest.raises(ValueError, match="k_values has 3 entries but x has only 2 columns"):
            evaluate_gradient(rng.normal(size=(30, 2)), rng.normal(size=30), [1.0] * 3, [5, 5, 5])

    @pytest.mark.parametrize("x, k", [(np.ones((20, 1)) * np.arange(20)[:, None], 1),
                                      (np.full((20, 1), np.nan), 5)])
    def test_construction_errors_are_bare(self, x, k):
        with pytest.raises(ValueError) as e:
            evaluate_gradient(x, np.ones(20), [1.0], [k])
        assert str(e.value).startswith("Invalid parameter: ")

    def test_gradient_errors_are_prefixed(self, rng):
        with pytest.raises(ValueError) as e:
            evaluate_gradient(rng.uniform(size=(30, 2)), np.ones(30), [1.0], [5, 5])
        assert str(e.value) == ("Gradient computation failed: Matrix dimension mismatch: "
                                "Number of lambdas (1) must match number of penalties (2)")


class TestErrors:
    @pytest.fixture
    def args(self, rng):
        return dict(y=np.ones(10), x=rng.normal(size=(10, 4)), w=np.ones(10), lambdas=[1.0],
                    penalties=[np.eye(4)])

    @pytest.mark.parametrize("f, prefix", [(gradient, "Gradient computation failed: "),
                                           (hessian, "Hessian computation failed: ")])
    @pytest.mark.parametrize("change, message", [
        (dict(y=np.ones(9)), "Matrix dimension mismatch: X has 10 rows but y has 9 elements"),
        (dict(w=np.ones(11)), "Matrix dimension mismatch: X has 10 rows but w has 11 elements"),
        (dict(lambdas=[]), "Matrix dimension mismatch: Number of lambdas (0) must match number "
                           "of penalties (1)"),
        (dict(penalties=[np.eye(5)]), "Matrix dimension mismatch: Penalty 0 is 5x5 but X has 4 "
                                      "columns"),
        (dict(penalties=[np.full((4, 4), np.nan)]),
         "Invalid parameter: Penalty matrix has non-finite entries"),
    ])
    def test_core_errors(self, args, f, prefix, change, message):
        args.update(change)
        with pytest.raises(ValueError) as e:
            f(**args)
        assert str(e.value) == prefix + message

    @pytest.mark.parametrize("f", [gradient, hessian])
    @pytest.mark.parametrize("bad", [-1.0, np.nan, np.inf])
    def test_lambdas_must_be_finite_and_non_negative(self, args, f, bad):
        args["lambdas"] = [bad]
        with pytest.raises(ValueError, match="lambdas must be finite and non-negative"):
            f(**args)

    @pytest.mark.parametrize("change", [dict(x=[[1.0] * 4] * 10),
                                        dict(x=np.ones((10, 4), dtype=np.float32)),
                                        dict(lambdas="1"), dict(penalties=[np.ones(4)])])
    def test_conversion_errors(self, args, change):
        args.update(change)
        with pytest.raises(TypeError):
            gradient(**args)

    def test_k_values_conversion(self, rng):
        with pytest.raises(OverflowError):
            evaluate_gradient(rng.normal(size=(10, 1)), np.ones(10), [1.0], [-5])
        with pytest.raises(TypeError):
            evaluate_gradient(rng.normal(size=(10, 1)), np.ones(10), [1.0], [5.0])


class TestSingularDesigns:
    @pytest.mark.parametrize("f", [gradient, hessian])
    def test_zero_column_without_penalty_is_finite(self, rng, f):
        # Previously the triangle had a zero pivot: the Hessian failed with
        # "Singular matrix encountered" and the gradient with a triangular-solve error.
        x = rng.uniform(size=(80, 2))
        X, S = built_model(x, [6, 6])
        X = np.hstack([X, np.zeros((80, 1))])
        S = [np.pad(s, ((0, 1), (0, 1))) for s in S]
        assert np.all(np.isfinite(f(rng.normal(size=80), X, np.ones(80), [1.0, 1.0], S)))
