"""Penalty matrices: error table, the cubic regression spline penalty against a dense
NumPy construction and against the integrated squared curvature of the basis, the
B-spline penalty against SciPy's B-spline second derivatives, and the fixed diagonal."""
import numpy as np
import pytest
from scipy.interpolate import BSpline

import _velkan_testing as vt


def penalty(kind, k, knots):
    return vt.smooth_penalty(kind, k, np.asarray(knots, dtype=float))


@pytest.mark.parametrize("kind, k, knots, message", [
    ("bs", 4, [0, 1], "Unknown basis type: bs"),
    ("CR", 4, [0, 1, 2, 3], "Unknown basis type: CR"), ("", 4, [0, 1], "Unknown basis type: "),
    # The type is checked before anything else, the knot count before the size guard.
    ("spline", 10**9, [], "Unknown basis type: spline"),
    ("cr", 5, [0, 1, 2, 3],
     "Number of knots (4) must equal number of basis functions (5) for cr splines"),
    ("cr", 10**9, [0, 1], "Number of knots (2) must equal number of basis functions "
                          "(1000000000) for cr splines"),
    ("cubic", 6, [0.5], "Need at least 2 knots for penalty matrix"),
    ("cubic", 3, [0.5], "Need at least 2 knots for penalty matrix"),
    ("cubic", 3, [0, 1], "The cubic penalty needs at least 4 basis functions, got 3"),
    ("cubic", 0, [0, 1], "The cubic penalty needs at least 4 basis functions, got 0"),
    ("tps", 10**9, [], "Number of basis functions (1000000000) exceeds the supported "
                       "maximum of 10000"),
    ("cubic", 10001, [0, 1], "Number of basis functions (10001) exceeds the supported "
                             "maximum of 10000"),
])
def test_errors(kind, k, knots, message):
    with pytest.raises(ValueError) as e:
        penalty(kind, k, knots)
    assert str(e.value) == "Invalid parameter: " + message


def cr_oracle(x):
    """S = D' B^-1 D built densely with NumPy's solver."""
    x = np.asarray(x, float)
    k = len(x)
    h = np.diff(x)
    d = np.zeros((k - 2, k))
    b = np.zeros((k - 2, k - 2))
    for i in range(k - 2):
        d[i, i:i + 3] = [1 / h[i], -1 / h[i] - 1 / h[i + 1], 1 / h[i + 1]]
        b[i, i] = (h[i] + h[i + 1]) / 3
        if i + 1 < k - 2:
            b[i, i + 1] = b[i + 1, i] = h[i + 1] / 6
    return d.T @ np.linalg.solve(b, d)


class TestCubicRegression:
    @pytest.mark.parametrize("k", [3, 4, 5, 9, 20])
    def test_matches_dense_construction_on_uneven_knots(self, k, rng):
        x = np.cumsum(rng.uniform(0.2, 2.0, k))
        s = penalty("cubic_regression", k, x)
        np.testing.assert_allclose(s, cr_oracle(x), rtol=1e-10, atol=1e-10 * np.abs(s).max())
        # Symmetric to rounding, null space of constants and of the knot positions.
        np.testing.assert_allclose(s, s.T, atol=1e-11 * np.abs(s).max())
        np.testing.assert_allclose(s.sum(axis=1), 0, atol=1e-10 * np.abs(s).max())
        np.testing.assert_allclose(s @ x, 0, atol=1e-10 * np.abs(s).max() * x.max())
        assert np.linalg.eigvalsh((s + s.T) / 2).min() > -1e-9 * np.abs(s).max()

    def test_dense_and_scales_as_inverse_cube_of_spacing(self):
        base = penalty("cr", 7, np.arange(7.0))
        assert np.all(base != 0)  # B^-1 is dense, so is S
        for h in (0.5, 3.0):
            np.testing.assert_allclose(penalty("cr", 7, h * np.arange(7.0)), base / h**3,
                                       rtol=1e-12)

    def test_is_integrated_squared_curvature_of_the_basis(self, rng):
        # beta' S beta equals the integral of f''^2 for f = sum beta_j B_j (natural spline).
        k = 6
        term = vt.smooth_cr_term(k, 0.0, 5.0)
        grid = np.linspace(0.0, 5.0, 50001)
        values = vt.smooth_cr_term(k, 0.0, 5.0, grid)["values"]
        beta = rng.normal(size=k)
        f = values @ beta
        step = grid[1] - grid[0]
        f2 = (f[2:] - 2 * f[1:-1] + f[:-2]) / step**2
        integral = np.sum((f2[1:] ** 2 + f2[:-1] ** 2) / 2) * step
        assert beta @ term["penalty"] @ beta == pytest.approx(integral, rel=1e-4)

    @pytest.mark.parametrize("k", [0, 1, 2])
    def test_too_few_knots_for_curvature_give_zero(self, k):
        s = penalty("cr", k, np.arange(float(k)))
        assert s.shape == (k, k) and not s.any()

    def test_strided_knots_read_with_their_stride(self):
        wide = np.arange(20.0) ** 1.5
        np.testing.assert_array_equal(penalty("cr", 10, wide[::2]),
                                      penalty("cr", 10, wide[::2].copy()))

    def test_coincident_knots_propagate_as_non_finite(self):
        assert not np.isfinite(penalty("cr", 5, np.zeros(5))).all()


def cubic_oracle(k, lo, hi):
    """Integral over [lo, hi] of B_i'' B_j'' on the evenly spaced knot vector, from SciPy's
    B-spline derivatives; Simpson's rule is exact on each span (the integrand is quadratic)."""
    r = hi - lo
    a, b = lo - 0.001 * r, hi + 0.001 * r
    h = (b - a) / (k - 3)
    t = np.linspace(a - 3 * h, b + 3 * h, k + 4)
    d2 = BSpline(t, np.eye(k), 3).derivative(2)
    cuts = np.unique(np.clip(np.concatenate([t, [lo, hi]]), lo, hi))
    s = np.zeros((k, k))
    for left, right in zip(cuts[:-1], cuts[1:]):
        pts = np.array([left + 1e-13 * r, (left + right) / 2, right - 1e-13 * r])
        v = d2(pts)
        wts = np.array([1, 4, 1]) * (right - left) / 6
        s += (v * wts[:, None]).T @ v
    return s


class TestCubic:
    @pytest.mark.parametrize("k, lo, hi", [(4, 0, 1), (6, -2, 3), (10, 0, 100), (25, 5, 6)])
    def test_matches_integral_of_second_derivatives(self, k, lo, hi):
        s = penalty("cubic", k, [lo, hi])
        expected = cubic_oracle(k, lo, hi)
        np.testing.assert_allclose(s, expected, rtol=1e-9, atol=1e-10 * np.abs(expected).max())
        assert np.array_equal(s, s.T)
        # Cubic B-splines overlap only with their three neighbours on each side.
        assert not np.triu(s, 4).any()

    def test_only_the_end_knots_count(self):
        np.testing.assert_array_equal(penalty("cubic", 7, [0, 1]),
                                      penalty("cubic", 7, [0, 0.3, 0.9, 1]))
        # First and last element, not minimum and maximum.
        np.testing.assert_array_equal(penalty("cubic", 7, [0, 5, -3, 1]),
                                      penalty("cubic", 7, [0, 1]))

    def test_null_space_is_linear_functions(self):
        s = penalty("cubic", 12, [0, 1])
        ones = np.ones(12)
        # Greville abscissae of the evenly spaced knots reproduce x exactly.
        greville = np.arange(12.0)
        np.testing.assert_allclose(s @ ones, 0, atol=1e-9 * np.abs(s).max())
        np.testing.assert_allclose(s @ greville, 0, atol=1e-9 * np.abs(s).max() * 12)

    @pytest.mark.parametrize("knots", [[2.0, 2.0], [1.0, 0.0]])
    def test_empty_or_reversed_range_gives_zero(self, knots):
        s = penalty("cubic", 6, knots)
        assert s.shape == (6, 6) and not s.any()

    def test_non_finite_range_propagates(self):
        for knots in ([0, np.nan], [np.inf, 1.0], [-1e308, 1e308]):
            assert np.isnan(penalty("cubic", 5, knots)).all()

    def test_large_k_stays_banded_and_symmetric(self):
        s = penalty("cubic", 1500, [0, 1])
        assert np.array_equal(s, s.T) and not np.triu(s, 4).any()
        # With many functions the 0.1 % margins swallow whole outer spans: only the
        # functions reaching into the range are penalised.
        assert np.all(np.diag(s)[3:-3] > 0)


@pytest.mark.parametrize("name", ["tps", "thin_plate"])
@pytest.mark.parametrize("k", [0, 1, 2, 3, 4, 7])
def test_fixed_diagonal(name, k):
    expected = np.diag([0.0] * min(k, 2) + [1.0] * max(k - 2, 0))
    np.testing.assert_array_equal(penalty(name, k, [np.nan]), expected.reshape(k, k))
