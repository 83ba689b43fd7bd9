"""The two spline bases: knot placement, values against SciPy's splines, partition of unity
inside and outside the range, straight-line extrapolation, the boundary clamping, the fast
B-spline evaluation against the full recursion, and the constructors' refusals."""
import numpy as np
import pytest
from scipy.interpolate import BSpline, CubicSpline

import _velkan_testing as vt

PREFIX = "Invalid parameter: "


def cr_values(knots, points):
    return vt.smooth_cr_evaluate_knots(np.asarray(knots, float), np.asarray(points, float))


class TestCubicRegressionSpline:
    def test_term_fields(self):
        term = vt.smooth_cr_term(5, 0.0, 1.0)
        np.testing.assert_array_equal(term["knots"], [0, 0.25, 0.5, 0.75, 1])
        assert (term["kind"], term["num_basis"], term["width"], term["column"]) == ("cr", 5, 5, 0)
        assert term["lambda"] == 1.0 and not term["has_constraint"]
        np.testing.assert_array_equal(term["penalty"], vt.smooth_penalty("cr", 5, term["knots"]))

    def test_unit_vectors_at_knots(self):
        term = vt.smooth_cr_term(8, -3.0, 11.0)
        values = vt.smooth_cr_term(8, -3.0, 11.0, term["knots"])["values"]
        np.testing.assert_allclose(values, np.eye(8), atol=1e-14)

    def test_natural_spline_inside_and_secants_outside(self, rng):
        knots = np.sort(rng.uniform(0, 10, 7))
        inside = np.concatenate([rng.uniform(knots[0], knots[-1], 200), knots])
        values = cr_values(knots, inside)
        for j in range(7):
            natural = CubicSpline(knots, np.eye(7)[j], bc_type="natural")
            np.testing.assert_allclose(values[:, j], natural(inside), atol=1e-12)
        below = knots[0] - np.array([0.5, 3.0])
        above = knots[-1] + np.array([0.5, 3.0])
        u = (below - knots[0]) / (knots[1] - knots[0])
        expected = np.zeros((2, 7))
        expected[:, 0], expected[:, 1] = 1 - u, u
        np.testing.assert_allclose(cr_values(knots, below), expected, atol=1e-14)
        v = (above - knots[-1]) / (knots[-1] - knots[-2])
        expected = np.zeros((2, 7))
        expected[:, 6], expected[:, 5] = 1 + v, -v
        np.testing.assert_allclose(cr_values(knots, above), expected, atol=1e-14)

    def test_rows_sum_to_one_everywhere(self):
        points = np.linspace(-50, 150, 2001)
        term = vt.smooth_cr_term(12, 0.0, 100.0, points)
        np.testing.assert_array_equal(term["into"], term["values"])
        np.testing.assert_allclose(term["values"].sum(axis=1), 1.0, atol=1e-12)

    @pytest.mark.parametrize("k", [0, 1, 2])
    def test_tiny_bases_stay_in_bounds(self, k):
        points = np.array([-1.0, 0.0, 0.5, 1.0, 2.0, np.nan])
        values = cr_values(np.linspace(0, 1, k), points)
        assert values.shape == (6, k)
        if k:
            np.testing.assert_allclose(values[:5].sum(axis=1), 1.0)
            assert np.isnan(values[5]).all()
        if k == 2:  # a straight line through both knots, continued outside
            np.testing.assert_allclose(values[:5, 1], [-1, 0, 0.5, 1, 2])

    def test_coincident_range_is_non_finite_not_a_crash(self):
        term = vt.smooth_cr_term(5, 2.0, 2.0, np.array([1.0, 2.0, 3.0]))
        assert not np.isfinite(term["penalty"]).all()

    @pytest.mark.parametrize("k, lo, hi, message", [
        (1, 0.0, 1.0, "A cr smooth needs at least 2 basis functions, got 1"),
        (10**9, 0.0, 1.0,
         "Number of basis functions (1000000000) exceeds the supported maximum of 10000"),
        (5, np.inf, -np.inf,
         "A cr smooth needs a finite data range, got minimum inf and maximum -inf"),
        (5, 1.0, 0.0, "A cr smooth needs a finite data range, got minimum 1 and maximum 0"),
    ])
    def test_refusals(self, k, lo, hi, message):
        with pytest.raises(ValueError) as e:
            vt.smooth_cr_term(k, lo, hi)
        assert str(e.value) == PREFIX + message


def bs(k, data, points=None):
    extra = () if points is None else (np.asarray(points, float),)
    return vt.smooth_bs_term(k, np.asarray(data, float), *extra)


def probe_points(lo, hi, rng):
    """Random points inside and outside plus every boundary case of the clamping."""
    width = hi - lo
    edges = [lo, hi, lo - 1e-10, lo + 1e-10, lo - 3e-10, lo + 3e-10, hi - 1e-10, hi + 1e-10,
             hi - 3e-10, hi + 3e-10, lo + 2e-10, hi - 2e-10, np.nextafter(hi, -np.inf)]
    return np.concatenate([rng.uniform(lo - width, hi + width, 400), edges])


DATASETS = {
    "uniform": lambda rng: rng.uniform(0, 1, 500),
    "skewed": lambda rng: rng.exponential(3.0, 300),
    "ties": lambda rng: np.repeat(rng.uniform(-5, 5, 12), 25),
    "large": lambda rng: 1e7 + rng.uniform(0, 100, 300),
    "tiny range": lambda rng: 1.0 + 1e-9 * rng.uniform(0, 1, 50),
}


class TestBSpline:
    def test_quantile_knots(self):
        term = bs(6, np.arange(101))
        np.testing.assert_allclose(term["knots"], [20, 40, 60, 80])
        full = bs(6, np.arange(101), [50.0])["full_knots"]
        np.testing.assert_allclose(full, [20] * 3 + [20, 40, 60, 80] + [80] * 3)
        assert (term["kind"], term["num_basis"], term["lambda"]) == ("bs", 6, 1.0)
        np.testing.assert_array_equal(term["penalty"],
                                      vt.smooth_penalty("cubic", 6, term["knots"]))

    @pytest.mark.parametrize("count", [1, 2, 7, 1000, 20001])
    @pytest.mark.parametrize("k", [4, 9, 30])
    def test_knots_are_interior_quantiles(self, count, k, rng):
        data = rng.normal(size=count).round(1)  # ties inside as well
        p = np.arange(1, k - 1) / (k - 1)
        expected = np.quantile(data, p)
        lo, hi = data.min(), data.max()
        eps = (hi - lo) * 1e-6
        expected = np.where(expected <= lo, lo + eps, expected)
        expected = np.where(expected >= hi, hi - eps, expected)
        np.testing.assert_allclose(bs(k, data)["knots"], expected, rtol=1e-13, atol=1e-13)

    def test_ties_at_the_extremes_are_pulled_inside(self):
        data = np.concatenate([np.zeros(60), np.arange(1.0, 41.0), np.full(60, 40.0)])
        knots = bs(5, data)["knots"]
        assert knots[0] == 1e-6 * 40 and knots[-1] == 40 - 1e-6 * 40

    @pytest.mark.parametrize("name", sorted(DATASETS))
    @pytest.mark.parametrize("k", [4, 7, 20])
    def test_fast_evaluation_equals_full_recursion(self, name, k, rng):
        data = DATASETS[name](rng)
        knots = bs(k, data)["knots"]
        term = bs(k, data, probe_points(knots[0], knots[-1], rng))
        np.testing.assert_array_equal(term["values"], term["reference"])
        np.testing.assert_array_equal(term["into"], term["values"])
        assert (np.count_nonzero(term["values"], axis=1) <= max(4, k)).all()

    # Not "tiny range": knot spans below the absolute 1e-10 denominator floor are zero
    # terms of the recursion by design, so such data has rows that do not sum to one.
    @pytest.mark.parametrize("name", ["uniform", "skewed", "ties", "large"])
    def test_rows_sum_to_one_inside_and_outside(self, name, rng):
        data = DATASETS[name](rng)
        knots = bs(9, data)["knots"]
        values = bs(9, data, probe_points(knots[0], knots[-1], rng))["values"]
        scale = 1 + np.abs(values).max()
        np.testing.assert_allclose(values.sum(axis=1), 1.0, atol=1e-12 * scale)

    def test_inside_values_match_scipy(self, rng):
        data = rng.normal(size=400)
        term = bs(10, data, [0.0])
        t = term["full_knots"]
        points = rng.uniform(t[0], t[-1], 300)
        values = bs(10, data, points)["values"]
        np.testing.assert_allclose(values, BSpline(t, np.eye(10), 3)(points), atol=1e-13)

    def test_straight_line_outside(self):
        data = np.arange(101.0)
        t = bs(6, data, [0.0])["full_knots"]
        lo, hi = t[0], t[-1]
        slope = BSpline(t, np.eye(6), 3).derivative()
        below = bs(6, data, [lo - 1, lo - 2, lo - 3])["values"]
        np.testing.assert_allclose(below[0] - below[1], slope(lo + 2e-10), atol=1e-12)
        np.testing.assert_allclose(below[1] - below[2], below[0] - below[1], atol=1e-12)
        above = bs(6, data, [hi + 1, hi + 2])["values"]
        np.testing.assert_allclose(above[1] - above[0], slope(hi - 2e-10), atol=1e-12)

    def test_last_knot_is_evaluated_just_inside(self):
        data = np.arange(101.0)
        hi = bs(6, data)["knots"][-1]
        values = bs(6, data, [hi, hi - 2e-10])["values"]
        np.testing.assert_array_equal(values[0], values[1])
        assert values[0, -1] > 0.99

    @pytest.mark.parametrize("offset", [1e7, -3e9, 1e15])
    def test_last_knot_of_large_data_is_not_a_zero_row(self, offset):
        # hi - 2e-10 rounds back to hi at these magnitudes; the row there must still be
        # the spline's value just inside, not the all-zero row of the closed last span.
        data = offset + np.arange(0.0, 101.0) * max(1.0, abs(offset) * 1e-12)
        knots = bs(6, data)["knots"]
        hi = knots[-1]
        term = bs(6, data, [hi, hi + (hi - knots[0]), np.nextafter(hi, -np.inf)])
        values = term["values"]
        np.testing.assert_allclose(values.sum(axis=1), 1.0, atol=1e-9)
        np.testing.assert_array_equal(values[0], values[2])
        np.testing.assert_array_equal(values, term["reference"])

    @pytest.mark.parametrize("k, data, message", [
        (3, np.arange(10.0), "Need at least 2 knots for penalty matrix"),
        (1, np.arange(10.0), "A bs smooth needs at least 2 basis functions, got 1"),
        (10**9, np.arange(10.0),
         "Number of basis functions (1000000000) exceeds the supported maximum of 10000"),
        (6, np.array([]), "Cannot place bs smooth knots on an empty data column"),
        (6, np.array([1.0, np.nan, 2.0]),
         "The data column of a bs smooth must be finite, found NaN at row 1"),
        (6, np.array([1.0, 2.0, -np.inf]),
         "The data column of a bs smooth must be finite, found -inf at row 2"),
    ])
    def test_refusals(self, k, data, message):
        with pytest.raises(ValueError) as e:
            bs(k, data)
        assert str(e.value) == PREFIX + message

    def test_nan_point_gives_nan_row(self):
        for values in (vt.smooth_cr_term(5, 0.0, 1.0, np.array([0.3, np.nan]))["values"],
                       bs(6, np.arange(50.0), [10.0, np.nan])["values"]):
            assert np.isfinite(values[0]).all() and np.isnan(values[1]).all()

    def test_single_value_column_builds(self):
        term = bs(5, [3.0], [2.0, 3.0, 4.0])
        np.testing.assert_array_equal(term["knots"], [3, 3, 3])
        assert np.isfinite(term["values"]).all()


class TestEvenlySpacedKnots:
    @pytest.mark.parametrize("num_basis, knots", [(4, [0, 1]), (6, [0, 1 / 3, 2 / 3, 1])])
    def test_knots_and_penalty(self, num_basis, knots):
        term = vt.smooth_bs_even_term(num_basis, 0.0, 1.0)
        np.testing.assert_allclose(term["knots"], knots)
        np.testing.assert_array_equal(term["penalty"],
                                      vt.smooth_penalty("cubic", num_basis, term["knots"]))
        assert term["kind"] == "bs" and term["num_basis"] == num_basis

    @pytest.mark.parametrize("num_basis, message", [
        (3, "Need at least 2 knots for penalty matrix"),
        (1, "A bs smooth needs at least 2 basis functions, got 1"),
    ])
    def test_refusals(self, num_basis, message):
        with pytest.raises(ValueError) as e:
            vt.smooth_bs_even_term(num_basis, 0.0, 1.0)
        assert str(e.value) == PREFIX + message

    def test_stored_knots_must_number_k_minus_2(self):
        with pytest.raises(ValueError) as e:
            vt.smooth_bs_knots_term(6, np.array([0.0, 1.0]))
        assert str(e.value) == PREFIX + "A bs smooth with 6 basis functions needs 4 knots, got 2"


def test_recursion_outside_the_knot_vector_is_zero():
    t = np.array([0.0, 0.0, 1.0, 2.0, 2.0])
    assert vt.smooth_bspline_value(3, 0, t, 2.0) == 1.0  # the closed last span
    assert vt.smooth_bspline_value(2, 0, t, 2.0) == 0.0
    for i in (4, 5, 2**64 - 1):
        assert vt.smooth_bspline_value(i, 3, t, 1.0) == 0.0
    assert vt.smooth_bspline_value(0, 2, np.array([]), 0.0) == 0.0
