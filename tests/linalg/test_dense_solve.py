import numpy as np
import pytest

import _velkan_testing as T

from tests.linalg.layouts import LAYOUTS, with_layout

SINGULAR = "Singular matrix encountered"


def near_identity(rng, n):
    """A well-conditioned matrix that still needs row interchanges now and then."""
    return np.eye(n) + 0.5 * rng.standard_normal((n, n)) / np.sqrt(n)


class TestElimination:
    def test_pivots_on_second_row(self):
        x = T.linalg_solve(np.array([[0.0, 1.0], [1.0, 0.0]]), np.array([2.0, 3.0]))
        np.testing.assert_array_equal(x, [3.0, 2.0])

    def test_first_of_equal_magnitudes_is_the_pivot(self):
        # Rows 0 and 1 tie on |a_i0|; pivoting on row 0 gives exactly these numbers.
        a = np.array([[-2.0, 1.0], [2.0, 3.0]])
        assert T.linalg_determinant(a) == -2.0 * (3.0 + 1.0)

    # The remaining column maximum is exactly `pivot` after a row interchange.
    @pytest.mark.parametrize("pivot, singular", [(1e-15, True), (1e-14, False)])
    @pytest.mark.parametrize("op", ["solve", "inverse"])
    def test_pivot_floor(self, pivot, singular, op):
        a = np.array([[0.0, pivot, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 2.0]])
        b = np.array([1.0, 2.0, 3.0])
        run = (lambda: T.linalg_solve(a, b)) if op == "solve" else (lambda: T.linalg_inverse(a))
        if singular:
            with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
                run()
        else:
            expected = np.linalg.solve(a, b) if op == "solve" else np.linalg.inv(a)
            np.testing.assert_allclose(run(), expected, rtol=1e-15)

    # A non-finite entry off the pivots would otherwise come back as NaN "solutions".
    @pytest.mark.parametrize("n", [3, 1000])
    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    @pytest.mark.parametrize("where", ["a", "b"])
    def test_non_finite_system_is_singular(self, n, bad, where):
        a = np.eye(n)
        b = np.ones(n)
        if where == "a":
            a[0, n - 1] = bad
        else:
            b[1] = bad
        with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
            T.linalg_solve(a, b)
        if where == "a":
            with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
                T.linalg_inverse(a)

    @pytest.mark.parametrize("pivot, det", [(1e-15, 1e-15), (9e-16, 0.0)])
    def test_determinant_floor(self, pivot, det):
        a = np.diag([1.0, pivot])
        assert T.linalg_determinant(a) == det
        expected_log = np.log(det) if det > 0 else -np.inf
        assert T.linalg_log_determinant(a) == expected_log

    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_small_systems_match_numpy(self, rng, layout):
        a = rng.standard_normal((7, 7))
        b = rng.standard_normal(7)
        np.testing.assert_allclose(T.linalg_solve(with_layout(a, layout), with_layout(b, layout)),
                                   np.linalg.solve(a, b), rtol=1e-11)
        np.testing.assert_allclose(T.linalg_inverse(with_layout(a, layout)), np.linalg.inv(a),
                                   rtol=1e-11, atol=1e-12)
        assert T.linalg_determinant(with_layout(a, layout)) == pytest.approx(np.linalg.det(a),
                                                                            rel=1e-12)


class TestShapes:
    @pytest.mark.parametrize("call, message", [
        (lambda: T.linalg_solve(np.eye(3), np.ones(2)), "Matrix must be square and match RHS"),
        (lambda: T.linalg_solve(np.ones((2, 3)), np.ones(2)),
         "Matrix must be square and match RHS"),
        (lambda: T.linalg_inverse(np.ones((2, 3))), "Matrix must be square"),
        (lambda: T.linalg_determinant(np.ones((2, 3))), "Matrix must be square"),
        (lambda: T.linalg_log_determinant(np.ones((3, 2))), "Matrix must be square"),
    ])
    def test_messages(self, call, message):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "Matrix dimension mismatch: " + message

    def test_empty_system(self):
        assert T.linalg_solve(np.zeros((0, 0)), np.zeros(0)).shape == (0,)
        assert T.linalg_inverse(np.zeros((0, 0))).shape == (0, 0)
        assert T.linalg_determinant(np.zeros((0, 0))) == 1.0
        assert T.linalg_log_determinant(np.zeros((0, 0))) == 0.0


@pytest.fixture(scope="module")
def lapack_switch_systems():
    rng = np.random.default_rng(7)
    small = near_identity(rng, 999)
    big = np.zeros((1000, 1000))
    big[:999, :999] = small
    big[999, 999] = 1.5
    # Mix the last row in so the big system is not block diagonal for the solver.
    big[999, :999] = 0.01 * rng.standard_normal(999)
    return small, big, rng.standard_normal(1000)


class TestLapackSwitch:
    """999 unknowns run the elimination, 1000 the LAPACK path; both must agree with NumPy
    and with each other on a system that embeds the smaller one."""

    @pytest.mark.parametrize("which", [0, 1])
    def test_solve_and_inverse_match_numpy(self, lapack_switch_systems, which):
        a = lapack_switch_systems[which]
        b = lapack_switch_systems[2][: a.shape[0]]
        np.testing.assert_allclose(T.linalg_solve(a, b), np.linalg.solve(a, b), rtol=1e-9,
                                   atol=1e-12)
        np.testing.assert_allclose(T.linalg_inverse(a), np.linalg.inv(a), rtol=1e-9, atol=1e-12)

    def test_paths_agree(self, lapack_switch_systems):
        small, big, b = lapack_switch_systems
        # With the last row's coupling the determinant gains exactly the factor 1.5.
        det_small, det_big = T.linalg_determinant(small), T.linalg_determinant(big)
        assert det_big == pytest.approx(1.5 * det_small, rel=1e-10)
        sign, logabs = np.linalg.slogdet(big)
        assert det_big == pytest.approx(sign * np.exp(logabs), rel=1e-10)
        assert T.linalg_log_determinant(big) == pytest.approx(
            T.linalg_log_determinant(small) + np.log(1.5), rel=1e-12, abs=1e-10)
        # The first 999 unknowns of the bordered system satisfy the small one.
        x_big = T.linalg_solve(big, b)
        np.testing.assert_allclose(x_big[:999], T.linalg_solve(small, b[:999]), rtol=1e-10,
                                   atol=1e-12)

    def test_lapack_zero_pivot_gives_zero(self):
        a = np.eye(1000)
        a[500, 500] = 0.0
        assert T.linalg_determinant(a) == 0.0
        assert T.linalg_log_determinant(a) == -np.inf
        with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
            T.linalg_solve(a, np.ones(1000))
        with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
            T.linalg_inverse(a)

    def test_lapack_sign_rule(self):
        # One interchange and one negative pivot: the signs cancel. The LAPACK path forms
        # exp(sum of log pivots), accurate to about 1e-13 relative at this magnitude.
        a = np.eye(1000) * 2.0
        a[[0, 1]] = a[[1, 0]]
        a[5, 5] = -3.0
        assert T.linalg_determinant(a) == pytest.approx(3.0 * 2.0 ** 999, rel=1e-10)


class TestLogDeterminant:
    @pytest.mark.parametrize("n", [5, 60, 1000])
    def test_equals_log_of_determinant_where_finite(self, rng, n):
        a = near_identity(rng, n)
        a = a @ a.T
        det = T.linalg_determinant(a)
        assert np.isfinite(det) and det > 0
        assert T.linalg_log_determinant(a) == np.log(det)

    # Products of pivots beyond the double range on both sides, on both paths; each
    # pivot stays above the determinant's floor.
    @pytest.mark.parametrize("n, scale", [(60, 1e20), (60, 1e-13), (1000, 10.0),
                                          (1000, 0.1)])
    def test_finite_where_determinant_overflows(self, n, scale):
        rng = np.random.default_rng(n)
        a = scale * near_identity(rng, n)
        det = T.linalg_determinant(a)
        sign, logabs = np.linalg.slogdet(a)
        assert sign > 0
        assert det in (0.0, np.inf)
        assert T.linalg_log_determinant(a) == pytest.approx(logabs, rel=1e-12)

    @pytest.mark.parametrize("n", [3, 60, 1000])
    def test_negative_determinant_is_nan(self, n):
        a = 1e20 * np.eye(n)
        a[[0, 1]] = a[[1, 0]]
        assert T.linalg_determinant(a) < 0
        assert np.isnan(T.linalg_log_determinant(a))
