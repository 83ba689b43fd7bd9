import numpy as np
import pytest

import _velkan_testing as T

from tests.linalg.layouts import LAYOUTS, with_layout

# Small shapes run the plain loops, large ones BLAS (and, for the cross products, several
# row chunks with a partial last one).
SHAPES = {"small": (9, 4), "large": (10_001, 30), "wide": (50, 700)}


def close(actual, expected, rtol=1e-12):
    scale = max(1.0, np.abs(expected).max(initial=0.0))
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=rtol * scale)


class TestMatrixProducts:
    @pytest.mark.parametrize("m, k, n", [(3, 4, 5), (70, 60, 50), (1, 200, 300), (200, 1, 3)])
    @pytest.mark.parametrize("layout_a", LAYOUTS)
    @pytest.mark.parametrize("layout_b", ["C", "F", "negative"])
    def test_matmul(self, rng, m, k, n, layout_a, layout_b):
        a = rng.standard_normal((m, k))
        b = rng.standard_normal((k, n))
        close(T.linalg_matmul(with_layout(a, layout_a), with_layout(b, layout_b)), a @ b)

    def test_matmul_of_transposed_views(self, rng):
        a = rng.standard_normal((80, 60))
        close(T.linalg_matmul(a.T, a), a.T @ a)
        close(T.linalg_matmul(a, a.T[::-1]), a @ a.T[::-1])

    @pytest.mark.parametrize("m, n", [(5, 3), (300, 200)])
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_matvec_and_dot(self, rng, m, n, layout):
        a = rng.standard_normal((m, n))
        x = rng.standard_normal(n)
        close(T.linalg_matvec(with_layout(a, layout), with_layout(x, layout)), a @ x)
        y = rng.standard_normal(n)
        assert T.linalg_dot(with_layout(x, layout), y) == pytest.approx(x @ y, rel=1e-12)

    def test_broadcast_vector(self, rng):
        a = rng.standard_normal((300, 200))
        x = np.broadcast_to(np.array([0.5]), (200,))  # stride 0
        close(T.linalg_matvec(a, x), a @ np.full(200, 0.5))

    @pytest.mark.parametrize("shape", [(0, 3), (3, 0)])
    def test_empty(self, shape):
        a = np.zeros(shape)
        assert T.linalg_matmul(a, np.zeros((shape[1], 2))).shape == (shape[0], 2)
        assert T.linalg_matvec(a, np.zeros(shape[1])).shape == (shape[0],)
        np.testing.assert_array_equal(T.linalg_gram(a), np.zeros((shape[1], shape[1])))

    def test_quad_form(self, rng):
        s = rng.standard_normal((12, 12))
        beta = rng.standard_normal(12)
        assert T.linalg_quad_form(with_layout(s, "negative"), beta) == pytest.approx(
            beta @ s @ beta, rel=1e-12)


class TestCrossProducts:
    @pytest.mark.parametrize("size", SHAPES)
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_xtwx_and_xtwy(self, rng, size, layout):
        x = rng.standard_normal(SHAPES[size])
        w = rng.uniform(0.0, 3.0, x.shape[0])
        w[::7] = 0.0
        y = rng.standard_normal(x.shape[0])
        xtwx = T.linalg_compute_xtwx(with_layout(x, layout), with_layout(w, layout))
        np.testing.assert_array_equal(xtwx, xtwx.T)
        close(xtwx, (x * w[:, None]).T @ x)
        close(T.linalg_compute_xtwy(with_layout(x, layout), with_layout(w, layout),
                                    with_layout(y, layout)), x.T @ (w * y))

    @pytest.mark.parametrize("size", SHAPES)
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_gram(self, rng, size, layout):
        a = rng.standard_normal(SHAPES[size])
        g = T.linalg_gram(with_layout(a, layout))
        np.testing.assert_array_equal(g, g.T)
        close(g, a.T @ a)

    def test_unit_weights_equal_gram(self, rng):
        x = rng.standard_normal((5000, 20))
        close(T.linalg_compute_xtwx(x, np.ones(5000)), T.linalg_gram(x), rtol=1e-14)

    def test_no_rows(self):
        np.testing.assert_array_equal(T.linalg_compute_xtwx(np.zeros((0, 3)), np.zeros(0)),
                                      np.zeros((3, 3)))
        np.testing.assert_array_equal(
            T.linalg_compute_xtwy(np.zeros((0, 3)), np.zeros(0), np.zeros(0)), np.zeros(3))

    @pytest.mark.parametrize("call", [
        lambda: T.linalg_matmul(np.ones((2, 3)), np.ones((2, 3))),
        lambda: T.linalg_compute_xtwx(np.ones((4, 2)), np.ones(3)),
        lambda: T.linalg_compute_xtwy(np.ones((4, 2)), np.ones(4), np.ones(5)),
    ])
    def test_binding_rejects_mismatched_shapes(self, call):
        with pytest.raises(ValueError):
            call()
