"""Quantile knots of long columns, found through a histogram of the column, equal the
interior quantiles of the data whatever its distribution."""
import numpy as np
import pytest

import _velkan_testing as vt

N = 60_000  # long enough for the histogram


def expected_knots(data, k):
    q = np.quantile(data, np.arange(1, k - 1) / (k - 1))
    lo, hi = data.min(), data.max()
    eps = (hi - lo) * 1e-6
    q = np.where(q <= lo, lo + eps, q)
    return np.where(q >= hi, hi - eps, q)


COLUMNS = {
    "uniform": lambda rng: rng.uniform(-3.0, 5.0, N),
    "skewed": lambda rng: rng.exponential(size=N) ** 3,
    # Everything in the lowest bucket but one value: selected in place.
    "outlier": lambda rng: np.append(rng.normal(size=N), 1e12),
    # Half the column one value, the rest spread: wanted ranks fall in a crowded bucket.
    "ties": lambda rng: np.concatenate([np.full(N // 2, 0.25), rng.uniform(size=N // 2)]),
    "rounded": lambda rng: rng.normal(size=N).round(2),
    "negative": lambda rng: -1e6 - rng.gamma(2.0, 3.0, N),
}


@pytest.mark.parametrize("name", sorted(COLUMNS))
@pytest.mark.parametrize("k", [4, 10, 25])
def test_knots_are_the_interior_quantiles(name, k, rng):
    data = COLUMNS[name](rng)
    rng.shuffle(data)
    knots = vt.smooth_bs_term(k, data)["knots"]
    np.testing.assert_allclose(knots, expected_knots(data, k), rtol=1e-13, atol=0)
