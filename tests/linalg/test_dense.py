"""Dense solves and determinants (elimination below 1000 unknowns, LAPACK from there), the
LAPACK factorisations and the products, against NumPy and a naive elimination."""
import numpy as np
import pytest

import _velkan_testing as T
from tests.oracles import LAYOUTS, naive_lu_det, with_layout

SINGULAR = "Singular matrix encountered"


def near_identity(rng, n):
    return np.eye(n) + 0.5 * rng.standard_normal((n, n)) / np.sqrt(n)


def refused(call, message=SINGULAR):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


class TestElimination:
    @pytest.mark.parametrize("n", [7, 999, 1000])
    def test_match_numpy(self, rng, n):
        a, b = near_identity(rng, n), rng.standard_normal(n)
        np.testing.assert_allclose(T.linalg_solve(a, b), np.linalg.solve(a, b), rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(T.linalg_inverse(a), np.linalg.inv(a), rtol=1e-9, atol=1e-12)
        sign, logabs = np.linalg.slogdet(a)
        assert T.linalg_determinant(a) == pytest.approx(sign * np.exp(logabs), rel=1e-10)
        if sign > 0:
            assert T.linalg_log_determinant(a) == pytest.approx(logabs, rel=1e-12, abs=1e-10)

    @pytest.mark.parametrize("a", [[[0.1, 0.3, 0.7], [-0.1, 0.2, 0.9], [0.1, -0.7, 0.3]],
                                   [[3.0, 0.1, 0.7], [-3.0, 0.3, 0.11], [3.0, 0.17, 0.2]]])
    def test_pivots_as_a_naive_elimination_bit_for_bit(self, a):
        # Ties in |a_ic|: the first such row is the pivot; the last would change the last bits.
        assert T.linalg_determinant(np.array(a)) == naive_lu_det(a)

    @pytest.mark.parametrize("pivot, singular", [(1e-15, True), (1e-14, False)])
    def test_pivot_floor(self, pivot, singular):
        a = np.array([[0.0, pivot, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 2.0]])
        for call, want in [(lambda: T.linalg_solve(a, np.ones(3)), lambda: np.linalg.solve(a, np.ones(3))),
                           (lambda: T.linalg_inverse(a), lambda: np.linalg.inv(a))]:
            if singular:
                refused(call)
            else:
                np.testing.assert_allclose(call(), want(), rtol=1e-15)
        assert T.linalg_determinant(np.diag([1.0, 1e-15])) == 1e-15
        assert T.linalg_determinant(np.diag([1.0, 9e-16])) == 0.0
        assert T.linalg_log_determinant(np.diag([1.0, 9e-16])) == -np.inf

    # A non-finite entry off the pivots would otherwise come back as a NaN "solution".
    @pytest.mark.parametrize("n", [3, 1000])
    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_non_finite_system_is_singular(self, n, bad):
        a, b = np.eye(n), np.ones(n)
        a[0, n - 1] = bad
        refused(lambda: T.linalg_solve(a, b))
        refused(lambda: T.linalg_inverse(a))
        b[1] = bad
        refused(lambda: T.linalg_solve(np.eye(n), b))

    def test_lapack_zero_pivot_and_sign(self):
        a = np.eye(1000)
        a[500, 500] = 0.0
        assert T.linalg_determinant(a) == 0.0 and T.linalg_log_determinant(a) == -np.inf
        refused(lambda: T.linalg_solve(a, np.ones(1000)))
        a = 2.0 * np.eye(1000)
        a[[0, 1]] = a[[1, 0]]
        a[5, 5] = -3.0  # one interchange and one negative pivot
        assert T.linalg_determinant(a) == pytest.approx(3.0 * 2.0 ** 999, rel=1e-10)

    # Determinants beyond the double range; the log stays finite, and negative is NaN.
    @pytest.mark.parametrize("n, scale", [(60, 1e20), (60, 1e-13), (1000, 10.0), (1000, 0.1)])
    def test_log_determinant_out_of_range(self, n, scale):
        a = scale * near_identity(np.random.default_rng(n), n)
        assert T.linalg_determinant(a) in (0.0, np.inf)
        assert T.linalg_log_determinant(a) == pytest.approx(np.linalg.slogdet(a)[1], rel=1e-12)
        a[[0, 1]] = a[[1, 0]]
        assert np.isnan(T.linalg_log_determinant(a))

    def test_shapes(self):
        for call, message in [(lambda: T.linalg_solve(np.eye(3), np.ones(2)), "Matrix must be square and match RHS"),
                              (lambda: T.linalg_inverse(np.ones((2, 3))), "Matrix must be square"),
                              (lambda: T.linalg_log_determinant(np.ones((3, 2))), "Matrix must be square")]:
            refused(call, "Matrix dimension mismatch: " + message)
        assert T.linalg_solve(np.zeros((0, 0)), np.zeros(0)).shape == (0,)
        assert T.linalg_determinant(np.zeros((0, 0))) == 1.0
        assert T.linalg_failure_invalid_shape() == "Lapack(InvalidShape)"  # a dimension beyond 32 bits


def spd(rng, n):
    a = rng.standard_normal((n + 3, n))
    return a.T @ a + 0.1 * np.eye(n)


def junk_outside(a, keep):
    """`a` with the triangle the routine must not read replaced by junk."""
    junk = np.full_like(a, 1e3)
    return np.triu(a) + np.tril(junk, -1) if keep == "U" else np.tril(a) + np.triu(junk, 1)


def failure(code):
    return f"Lapack(LapackComputationalFailure {{ return_code: {code} }})"


class TestFactorizations:
    @pytest.mark.parametrize("shape", [(9, 4), (4, 9), (5, 1), (0, 3)])
    def test_qr(self, rng, shape):
        a = with_layout(rng.standard_normal(shape), "strided")
        q, r = T.linalg_qr(a)
        k = min(shape)
        assert q.shape == (shape[0], k) and r.shape == (k, shape[1])
        np.testing.assert_allclose(q.T @ q, np.eye(k), atol=1e-14)
        np.testing.assert_array_equal(r, np.triu(r))
        np.testing.assert_allclose(q @ r, a, atol=1e-14)
        np.testing.assert_array_equal(T.linalg_qr_r(a), r)

    @pytest.mark.parametrize("uplo", ["U", "L"])
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_cholesky_and_triangular_solve_read_their_triangle(self, rng, uplo, layout):
        a = spd(rng, 6)
        f = T.linalg_cholesky(with_layout(junk_outside(a, uplo), layout), uplo)
        lower = np.linalg.cholesky(a)
        np.testing.assert_allclose(f, lower.T if uplo == "U" else lower, rtol=1e-12, atol=1e-14)
        tri = np.triu(a) if uplo == "U" else np.tril(a)
        for b in (rng.standard_normal(6), rng.standard_normal((6, 2))):
            x = T.linalg_solve_triangular(with_layout(junk_outside(a, uplo), layout), uplo, b)
            np.testing.assert_allclose(x, np.linalg.solve(tri, b), rtol=1e-12, atol=1e-14)

    def test_lu_and_symmetric_eigen(self, rng):
        a = rng.standard_normal((6, 6))
        lu, pivots = T.linalg_lu_factor(a)
        permuted = a.copy()
        for i, p in enumerate(pivots):  # LAPACK's interchanges, in order
            permuted[[i, p - 1]] = permuted[[p - 1, i]]
        np.testing.assert_allclose((np.tril(lu, -1) + np.eye(6)) @ np.triu(lu), permuted, atol=1e-13)
        np.testing.assert_allclose(T.linalg_lu_inverse(lu, pivots), np.linalg.inv(a), rtol=1e-10, atol=1e-12)
        s = a + a.T
        values, vectors = T.linalg_symmetric_eigen(junk_outside(s, "U"))
        np.testing.assert_allclose(values, np.linalg.eigvalsh(s), atol=1e-13)
        np.testing.assert_allclose(vectors @ np.diag(values) @ vectors.T, s, atol=1e-13)
        # The extreme pairs alone: the smallest `low` and largest `high` (all when they meet).
        big = rng.standard_normal((40, 40))
        big = big + big.T
        full = np.linalg.eigvalsh(big)
        for low, high in [(3, 5), (0, 4), (2, 0), (20, 20)]:
            values, vectors = T.linalg_symmetric_eigen_extremes(junk_outside(big, "U"), low, high)
            want = full if low + high >= 40 else np.r_[full[:low], full[40 - high:]]
            np.testing.assert_allclose(values, want, atol=1e-12)
            np.testing.assert_allclose(big @ vectors, vectors * values, atol=1e-11)
            np.testing.assert_allclose(vectors.T @ vectors, np.eye(len(want)), atol=1e-12)

    @pytest.mark.parametrize("call, text", [
        (lambda: T.linalg_cholesky(np.diag([1.0, 2.0, -1.0, 4.0]), "L"), failure(3)),
        (lambda: T.linalg_cholesky(np.ones((2, 3)), "U"), "NotSquare { rows: 2, cols: 3 }"),
        (lambda: T.linalg_cholesky(np.eye(2), "X"), "Lapack(LapackInvalidValue { return_code: -1 })"),
        (lambda: T.linalg_solve_triangular(np.eye(3), "U", np.ones((2, 2))),
         "NotStandardShape { obj: 1, rows: 2, cols: 2 }"),
        (lambda: T.linalg_solve_triangular(np.triu(np.ones((3, 3))) - np.diag([0, 1, 0]), "U", np.ones(3)),
         failure(2)),
        (lambda: T.linalg_lu_factor(np.array([[1.0, 2.0], [2.0, 4.0]])), failure(2)),
        (lambda: T.linalg_lu_inverse(np.eye(2), [1]), "Lapack(LapackInvalidValue { return_code: -4 })"),
    ])
    def test_failures(self, call, text):
        refused(call, text)


# Small shapes run plain loops, "large" BLAS over several row chunks with a partial last
# one, "wide" a design wider than it is long.
@pytest.mark.parametrize("shape", [(9, 4), (10_001, 30), (50, 700)], ids=["small", "large", "wide"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_products(rng, shape, layout):
    x = rng.standard_normal(shape)
    w = rng.uniform(0.0, 3.0, shape[0])
    w[::7] = 0.0
    y, beta = rng.standard_normal(shape[0]), rng.standard_normal(shape[1])
    s = rng.standard_normal((shape[1], shape[1] if shape[1] < 100 else 3))
    got = T.linalg_products(*(with_layout(v, layout) for v in (x, w, y, beta, s)))

    def close(actual, expected, rtol=1e-12):
        np.testing.assert_allclose(actual, expected, rtol=rtol, atol=rtol * max(1.0, np.abs(expected).max()))

    u = x @ beta
    wu, r = 1.0 / (1.0 + u * u), y - u
    for key, want in [("matmul", x @ s), ("matvec", u), ("gram", x.T @ x), ("xtwx", (x * w[:, None]).T @ x),
                      ("xtwy", x.T @ (w * y))]:
        close(got[key], want)
    for key, (xx, xy) in [("xtwx_xtwy", ((x * w[:, None]).T @ x, x.T @ (w * y))), ("xtx_xty", (x.T @ x, x.T @ y)),
                          ("at", ((x * wu[:, None]).T @ x, x.T @ (wu * (u + np.arange(len(u))))))]:
        np.testing.assert_array_equal(got[key][0], got[key][0].T)
        close(got[key][0], xx)
        close(got[key][1], xy)
    assert got["dot"] == pytest.approx(y @ w, rel=1e-12)
    assert got["residual"][0] == pytest.approx(np.sum(w * r * r), rel=1e-12)
    close(got["residual"][1], x.T @ (w * r))
    if shape[1] < 100:
        assert got["quad_form"] == pytest.approx(beta @ s @ beta, rel=1e-10)
