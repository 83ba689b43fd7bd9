"""The two spline bases and their penalties: knot placement, values against SciPy's splines
inside and outside the range, partition of unity, the boundary clamping, the penalties
against dense constructions and integrals of second derivatives, and the refusals."""
import numpy as np
import pytest
from scipy.interpolate import BSpline

import _velkan_testing as vt
from tests.oracles import bspline_values, cr_basis, cr_penalty

PREFIX = "Invalid parameter: "


def refused(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


def bs(k, data, points=None):
    return vt.smooth_bs_term(k, np.asarray(data, float), None if points is None else np.asarray(points, float))


def quantile_knots(data, k):
    q = np.quantile(data, np.arange(1, k - 1) / (k - 1))
    lo, hi = data.min(), data.max()
    eps = (hi - lo) * 1e-6  # knots at an end of the data are pulled inside
    return np.where(q <= lo, lo + eps, np.where(q >= hi, hi - eps, q))


class TestCubicRegressionSpline:
    def test_term(self, rng):
        term = vt.smooth_cr_term(5, 0.0, 1.0)
        np.testing.assert_array_equal(term["knots"], [0, 0.25, 0.5, 0.75, 1])
        assert (term["kind"], term["num_basis"], term["width"]) == ("cr", 5, 5)
        np.testing.assert_array_equal(term["penalty"], vt.smooth_penalty("cr", 5, term["knots"]))

    @pytest.mark.parametrize("k, lo, hi", [(2, 0.0, 1.0), (7, -3.0, 11.0)])
    def test_natural_splines_inside_secants_outside(self, rng, k, lo, hi):
        knots = np.linspace(lo, hi, k)
        points = np.concatenate([rng.uniform(2 * lo - hi, 2 * hi - lo, 300), knots, [np.nan]])
        values = vt.smooth_cr_term(k, lo, hi, points)["values"]
        np.testing.assert_allclose(values[:-1], cr_basis(points[:-1], knots), atol=1e-12)
        assert np.isnan(values[-1]).all()

    @pytest.mark.parametrize("k, lo, hi, message", [
        (1, 0.0, 1.0, "A cr smooth needs at least 2 basis functions, got 1"),
        (10**9, 0.0, 1.0, "Number of basis functions (1000000000) exceeds the supported maximum of 10000"),
        (5, 1.0, 0.0, "A cr smooth needs a finite data range, got minimum 1 and maximum 0"),
    ])
    def test_refusals(self, k, lo, hi, message):
        refused(lambda: vt.smooth_cr_term(k, lo, hi), PREFIX + message)


DATASETS = {
    "uniform": lambda rng: rng.uniform(0, 1, 500),
    "skewed": lambda rng: rng.exponential(3.0, 300),
    "ties": lambda rng: np.repeat(rng.uniform(-5, 5, 12), 25),
    "large": lambda rng: 1e7 + rng.uniform(0, 100, 300),
    "huge": lambda rng: 1e15 + np.arange(0.0, 101.0) * 1e3,
}


class TestBSpline:
    @pytest.mark.parametrize("name", sorted(DATASETS))
    @pytest.mark.parametrize("k", [4, 9])
    def test_values_against_scipy_inside_outside_and_at_the_edges(self, name, k, rng):
        data = DATASETS[name](rng)
        knots = bs(k, data)["knots"]
        lo, hi = knots[0], knots[-1]
        edges = lo + np.array([-3e-10, -1e-10, 0, 1e-10, 2e-10, 3e-10]) * max(1, abs(lo) * 1e-6)
        edges = np.r_[edges, hi - edges + lo, np.nextafter(hi, -np.inf)]
        points = np.r_[rng.uniform(lo - (hi - lo), hi + (hi - lo), 300), edges]
        term = bs(k, data, points)
        want = bspline_values(term["full_knots"], points, lo, hi)
        scale = 1 + np.abs(want).max()
        np.testing.assert_allclose(term["values"], want, atol=1e-9 * scale)
        np.testing.assert_allclose(term["values"].sum(axis=1), 1.0, atol=1e-12 * scale)

    @pytest.mark.parametrize("count", [1, 7, 1000, 60_001])
    @pytest.mark.parametrize("k", [4, 25])
    def test_knots_are_interior_quantiles(self, count, k, rng):
        # Long columns go through a histogram; ties and an outlier crowd its buckets.
        data = np.r_[rng.normal(size=count).round(2), np.full(count // 2, 0.25)]
        data[0] = 1e12 if count > 1000 else data[0]
        term = bs(k, data)
        np.testing.assert_allclose(term["knots"], quantile_knots(data, k), rtol=1e-13, atol=1e-13)
        if count == 7:
            np.testing.assert_array_equal(term["penalty"], vt.smooth_penalty("cubic", k, term["knots"]))

    def test_even_and_given_knots(self):
        term = vt.smooth_bs_even_term(6, 0.0, 1.0, np.array([0.5]))
        np.testing.assert_allclose(term["knots"], [0, 1 / 3, 2 / 3, 1])
        np.testing.assert_allclose(term["full_knots"], [0] * 3 + [0, 1 / 3, 2 / 3, 1] + [1] * 3)
        np.testing.assert_array_equal(
            vt.smooth_bs_knots_term(6, term["knots"], np.array([0.5]))["values"], term["values"])

    @pytest.mark.parametrize("call, message", [
        (lambda: bs(3, np.arange(10.0)), "Need at least 2 knots for penalty matrix"),
        (lambda: bs(1, np.arange(10.0)), "A bs smooth needs at least 2 basis functions, got 1"),
        (lambda: bs(6, []), "Cannot place bs smooth knots on an empty data column"),
        (lambda: bs(6, [1.0, np.nan, 2.0]), "The data column of a bs smooth must be finite, found NaN at row 1"),
        (lambda: vt.smooth_bs_even_term(3, 0.0, 1.0), "Need at least 2 knots for penalty matrix"),
        (lambda: vt.smooth_bs_knots_term(6, np.array([0.0, 1.0])),
         "A bs smooth with 6 basis functions needs 4 knots, got 2"),
    ])
    def test_refusals(self, call, message):
        refused(call, PREFIX + message)


def penalty(kind, k, knots):
    return vt.smooth_penalty(kind, k, np.asarray(knots, dtype=float))


def cubic_oracle(k, lo, hi):
    """Integral over [lo, hi] of B_i'' B_j'' on the evenly spaced knot vector the penalty
    uses; Simpson's rule is exact on each span (the integrand is quadratic there)."""
    r = hi - lo
    a, b = lo - 0.001 * r, hi + 0.001 * r
    h = (b - a) / (k - 3)
    t = np.linspace(a - 3 * h, b + 3 * h, k + 4)
    d2 = BSpline(t, np.eye(k), 3).derivative(2)
    cuts = np.unique(np.clip(np.r_[t, lo, hi], lo, hi))
    s = np.zeros((k, k))
    for left, right in zip(cuts[:-1], cuts[1:]):
        v = d2(np.array([left + 1e-13 * r, (left + right) / 2, right - 1e-13 * r]))
        s += (v * (np.array([1, 4, 1]) * (right - left) / 6)[:, None]).T @ v
    return s


class TestPenalties:
    @pytest.mark.parametrize("kind, k, knots, message", [
        ("bs", 4, [0, 1], "Unknown basis type: bs"),
        ("spline", 10**9, [], "Unknown basis type: spline"),  # the type first, then the count
        ("cr", 10**9, [0, 1], "Number of knots (2) must equal number of basis functions (1000000000) for cr splines"),
        ("cubic", 6, [0.5], "Need at least 2 knots for penalty matrix"),
        ("cubic", 3, [0, 1], "The cubic penalty needs at least 4 basis functions, got 3"),
        ("tps", 10**9, [], "Number of basis functions (1000000000) exceeds the supported maximum of 10000"),
    ])
    def test_errors(self, kind, k, knots, message):
        refused(lambda: penalty(kind, k, knots), PREFIX + message)

    @pytest.mark.parametrize("k", [3, 4, 5, 9, 20])
    def test_cubic_regression_against_dense_construction(self, k, rng):
        x = np.cumsum(rng.uniform(0.2, 2.0, k))
        strided = np.repeat(x, 2)[::2]  # knots are read with their stride
        s = penalty("cubic_regression", k, strided if k == 9 else x)
        scale = np.abs(s).max()
        np.testing.assert_allclose(s, cr_penalty(x), rtol=1e-10, atol=1e-10 * scale)
        np.testing.assert_allclose(s.sum(axis=1), 0, atol=1e-10 * scale)  # constants are free

    def test_cubic_regression_is_integrated_squared_curvature(self, rng):
        term = vt.smooth_cr_term(6, 0.0, 5.0)
        grid = np.linspace(0.0, 5.0, 50001)
        beta = rng.normal(size=6)
        f = vt.smooth_cr_term(6, 0.0, 5.0, grid)["values"] @ beta
        f2 = np.diff(f, 2) / (grid[1] - grid[0]) ** 2
        integral = np.sum((f2[1:] ** 2 + f2[:-1] ** 2) / 2) * (grid[1] - grid[0])
        assert beta @ term["penalty"] @ beta == pytest.approx(integral, rel=1e-4)

    @pytest.mark.parametrize("k, lo, hi", [(4, 0, 1), (6, -2, 3), (25, 5, 6)])
    def test_cubic_against_integral_of_second_derivatives(self, k, lo, hi):
        s = penalty("cubic", k, [lo, 0.3, hi])  # only the first and last knot count
        expected = cubic_oracle(k, lo, hi)
        np.testing.assert_allclose(s, expected, rtol=1e-9, atol=1e-10 * np.abs(expected).max())
        assert np.array_equal(s, s.T) and not np.triu(s, 4).any()

    @pytest.mark.parametrize("kind, k, knots", [("cr", 2, [0, 1]), ("cubic", 6, [2.0, 2.0]),
                                                ("cubic", 6, [1.0, 0.0])])
    def test_degenerate_give_zero(self, kind, k, knots):
        assert not penalty(kind, k, knots).any()

    @pytest.mark.parametrize("k", [0, 3, 7])
    def test_fixed_diagonal(self, k):
        expected = np.diag([0.0] * min(k, 2) + [1.0] * max(k - 2, 0)).reshape(k, k)
        np.testing.assert_array_equal(penalty("thin_plate", k, [np.nan]), expected)

