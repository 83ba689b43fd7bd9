import numpy as np
import pytest

import _velkan_testing as T

from tests.linalg.layouts import LAYOUTS, with_layout


def failure(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def spd(rng, n):
    a = rng.standard_normal((n + 3, n))
    return a.T @ a + 0.1 * np.eye(n)


def garbage_outside(a, keep):
    """`a` with the triangle the routine must not read replaced by junk."""
    junk = np.full_like(a, 1e3)
    return np.triu(a) + np.tril(junk, -1) if keep == "U" else np.tril(a) + np.triu(junk, 1)


class TestQr:
    @pytest.mark.parametrize("shape", [(9, 4), (4, 9), (6, 6), (1, 5), (5, 1)])
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_reduced_factors(self, rng, shape, layout):
        a = rng.standard_normal(shape)
        q, r = T.linalg_qr(with_layout(a, layout))
        k = min(shape)
        assert q.shape == (shape[0], k) and r.shape == (k, shape[1])
        np.testing.assert_allclose(q.T @ q, np.eye(k), atol=1e-14)
        np.testing.assert_array_equal(r, np.triu(r))
        np.testing.assert_allclose(q @ r, a, atol=1e-14)
        # R is unique up to the signs of its rows.
        _, r_ref = np.linalg.qr(a)
        np.testing.assert_allclose(np.abs(r), np.abs(r_ref), atol=1e-13)

    @pytest.mark.parametrize("shape", [(40, 7), (5, 8)])
    def test_r_only_is_the_same_factor(self, rng, shape):
        a = with_layout(rng.standard_normal(shape), "strided")
        np.testing.assert_array_equal(T.linalg_qr_r(a), T.linalg_qr(a)[1])

    @pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
    def test_empty(self, shape):
        q, r = T.linalg_qr(np.zeros(shape))
        assert q.shape == (shape[0], 0) and r.shape == (0, shape[1])
        assert T.linalg_qr_r(np.zeros(shape)).shape == (0, shape[1])


class TestCholesky:
    @pytest.mark.parametrize("uplo", ["U", "L"])
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_factor_reads_only_its_triangle(self, rng, uplo, layout):
        a = spd(rng, 6)
        f = T.linalg_cholesky(with_layout(garbage_outside(a, uplo), layout), uplo)
        lower = np.linalg.cholesky(a)
        if uplo == "U":
            np.testing.assert_array_equal(f, np.triu(f))
            np.testing.assert_allclose(f.T @ f, a, rtol=1e-13)
            np.testing.assert_allclose(f, lower.T, rtol=1e-12)
        else:
            np.testing.assert_array_equal(f, np.tril(f))
            np.testing.assert_allclose(f, lower, rtol=1e-12)

    @pytest.mark.parametrize("diagonal, order", [([1.0, 2.0, -1.0, 4.0], 3),
                                                 ([0.0, 1.0], 1), ([1.0, 1.0, 1.0, 0.0], 4)])
    @pytest.mark.parametrize("uplo", ["U", "L"])
    def test_failing_minor(self, diagonal, order, uplo):
        text = failure(lambda: T.linalg_cholesky(np.diag(diagonal), uplo))
        assert text == f"Lapack(LapackComputationalFailure {{ return_code: {order} }})"

    def test_failing_minor_of_coupled_matrix(self):
        a = np.array([[1.0, 2.0, 0.0], [2.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
        assert failure(lambda: T.linalg_cholesky(a, "L")) == (
            "Lapack(LapackComputationalFailure { return_code: 2 })")

    @pytest.mark.parametrize("call, text", [
        (lambda: T.linalg_cholesky(np.ones((2, 3)), "U"), "NotSquare { rows: 2, cols: 3 }"),
        (lambda: T.linalg_cholesky(np.eye(2), "X"),
         "Lapack(LapackInvalidValue { return_code: -1 })"),
        (lambda: T.linalg_symmetric_eigen(np.ones((3, 2))), "NotSquare { rows: 3, cols: 2 }"),
        (lambda: T.linalg_solve_triangular(np.eye(3), "U", np.ones((2, 2))),
         "NotStandardShape { obj: 1, rows: 2, cols: 2 }"),
        (lambda: T.linalg_lu_inverse(np.eye(2), [1, 3]),
         "Lapack(LapackInvalidValue { return_code: -4 })"),
        (lambda: T.linalg_lu_inverse(np.eye(2), [1]),
         "Lapack(LapackInvalidValue { return_code: -4 })"),
    ])
    def test_argument_failures(self, call, text):
        assert failure(call) == text


class TestSolveTriangular:
    @pytest.mark.parametrize("uplo", ["U", "L"])
    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("rhs_shape", [(5,), (5, 3)])
    def test_solves(self, rng, uplo, layout, rhs_shape):
        a = rng.standard_normal((5, 5)) + 4 * np.eye(5)
        tri = np.triu(a) if uplo == "U" else np.tril(a)
        b = rng.standard_normal(rhs_shape)
        x = T.linalg_solve_triangular(with_layout(garbage_outside(a, uplo), layout), uplo,
                                      with_layout(b, layout))
        assert x.shape == rhs_shape
        np.testing.assert_allclose(x, np.linalg.solve(tri, b), rtol=1e-12, atol=1e-14)

    @pytest.mark.parametrize("rhs", [np.ones(3), np.ones((3, 2))])
    def test_zero_diagonal(self, rhs):
        a = np.triu(np.ones((3, 3)))
        a[1, 1] = 0.0
        assert failure(lambda: T.linalg_solve_triangular(a, "U", rhs)) == (
            "Lapack(LapackComputationalFailure { return_code: 2 })")

    def test_empty(self):
        assert T.linalg_solve_triangular(np.zeros((0, 0)), "L", np.zeros((0, 2))).shape == (0, 2)
        assert T.linalg_solve_triangular(np.zeros((0, 0)), "L", np.zeros(0)).shape == (0,)


class TestLu:
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_factors_reconstruct_and_invert(self, rng, layout):
        a = rng.standard_normal((6, 6))
        lu, pivots = T.linalg_lu_factor(with_layout(a, layout))
        lower = np.tril(lu, -1) + np.eye(6)
        upper = np.triu(lu)
        permuted = a.copy()
        for i, p in enumerate(pivots):  # LAPACK's interchanges, applied in order
            permuted[[i, p - 1]] = permuted[[p - 1, i]]
        np.testing.assert_allclose(lower @ upper, permuted, atol=1e-13)
        np.testing.assert_allclose(T.linalg_lu_inverse(lu, pivots), np.linalg.inv(a),
                                   rtol=1e-10, atol=1e-12)

    def test_rectangular_factor(self, rng):
        lu, pivots = T.linalg_lu_factor(rng.standard_normal((7, 4)))
        assert lu.shape == (7, 4) and len(pivots) == 4

    def test_exactly_singular(self):
        a = np.array([[1.0, 2.0], [2.0, 4.0]])
        assert failure(lambda: T.linalg_lu_factor(a)) == (
            "Lapack(LapackComputationalFailure { return_code: 2 })")
        # Factors with a zero on U's diagonal handed straight to the inverse.
        assert failure(lambda: T.linalg_lu_inverse(np.array([[2.0, 4.0], [0.5, 0.0]]),
                                                   [2, 2])) == (
            "Lapack(LapackComputationalFailure { return_code: 2 })")


class TestSymmetricEigen:
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_ascending_and_reconstructing(self, rng, layout):
        b = rng.standard_normal((7, 7))
        a = b + b.T
        values, vectors = T.linalg_symmetric_eigen(with_layout(garbage_outside(a, "U"), layout))
        assert np.all(np.diff(values) > 0)
        np.testing.assert_allclose(values, np.linalg.eigvalsh(a), atol=1e-13)
        np.testing.assert_allclose(vectors.T @ vectors, np.eye(7), atol=1e-14)
        np.testing.assert_allclose(vectors @ np.diag(values) @ vectors.T, a, atol=1e-13)

    def test_repeated_eigenvalues(self):
        values, vectors = T.linalg_symmetric_eigen(np.diag([3.0, 1.0, 3.0, -2.0]))
        np.testing.assert_allclose(values, [-2.0, 1.0, 3.0, 3.0], atol=1e-15)
        np.testing.assert_allclose(vectors.T @ vectors, np.eye(4), atol=1e-15)

    def test_empty(self):
        values, vectors = T.linalg_symmetric_eigen(np.zeros((0, 0)))
        assert values.shape == (0,) and vectors.shape == (0, 0)
        assert T.linalg_cholesky(np.zeros((0, 0)), "U").shape == (0, 0)


@pytest.mark.parametrize("args, text", [
    (("lapack_info", 2), "Lapack(LapackComputationalFailure { return_code: 2 })"),
    (("lapack_info", -4), "Lapack(LapackInvalidValue { return_code: -4 })"),
    (("invalid_shape",), "Lapack(InvalidShape)"),
    (("not_square", 2, 3), "NotSquare { rows: 2, cols: 3 }"),
    (("not_standard_shape", 0, 4, 5), "NotStandardShape { obj: 0, rows: 4, cols: 5 }"),
])
def test_failure_renderings(args, text):
    assert T.linalg_failure_render(*args) == text
