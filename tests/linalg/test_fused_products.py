"""The one-pass products: X'WX with X'Wy, X'X with X'y, and the weighted residual sums."""
import numpy as np
import pytest

import _velkan_testing as T

from tests.linalg.layouts import LAYOUTS, with_layout

# Plain loops, BLAS over several row chunks with a partial last one, and a wide design.
SHAPES = {"small": (9, 4), "large": (10_001, 30), "wide": (50, 700)}


def close(actual, expected, rtol=1e-12):
    scale = max(1.0, np.abs(expected).max(initial=0.0))
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=rtol * scale)


def data(rng, size):
    x = rng.standard_normal(SHAPES[size])
    w = rng.uniform(0.0, 3.0, x.shape[0])
    w[::7] = 0.0
    return x, w, rng.standard_normal(x.shape[0])


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_cross_products_in_one_pass(rng, size, layout):
    x, w, y = data(rng, size)
    xl, wl, yl = with_layout(x, layout), with_layout(w, layout), with_layout(y, layout)
    xtwx, xtwy = T.linalg_compute_xtwx_xtwy(xl, wl, yl)
    np.testing.assert_array_equal(xtwx, xtwx.T)
    close(xtwx, (x * w[:, None]).T @ x)
    close(xtwy, x.T @ (w * y))
    xtx, xty = T.linalg_compute_xtx_xty(xl, yl)
    np.testing.assert_array_equal(xtx, xtx.T)
    close(xtx, x.T @ x)
    close(xty, x.T @ y)


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_cross_products_at_weights_from_x_beta(rng, size, layout):
    # The binding's weights are 1 / (1 + u^2) and its response u + row index, u = X beta.
    x, _, _ = data(rng, size)
    beta = rng.standard_normal(x.shape[1])
    xtwx, xtwz = T.linalg_compute_xtwx_xtwy_at(with_layout(x, layout), with_layout(beta, layout))
    u = x @ beta
    w = 1.0 / (1.0 + u * u)
    z = u + np.arange(len(u))
    np.testing.assert_array_equal(xtwx, xtwx.T)
    close(xtwx, (x * w[:, None]).T @ x)
    close(xtwz, x.T @ (w * z))


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_residual_products(rng, size, layout):
    x, w, y = data(rng, size)
    beta = rng.standard_normal(x.shape[1])
    rss, xtwr = T.linalg_residual_products(with_layout(x, layout), with_layout(w, layout),
                                           with_layout(y, layout), with_layout(beta, layout))
    r = y - x @ beta
    assert rss == pytest.approx(np.sum(w * r * r), rel=1e-12)
    close(xtwr, x.T @ (w * r))


def test_no_rows():
    xtwx, xtwy = T.linalg_compute_xtwx_xtwy(np.zeros((0, 3)), np.zeros(0), np.zeros(0))
    np.testing.assert_array_equal(xtwx, np.zeros((3, 3)))
    np.testing.assert_array_equal(xtwy, np.zeros(3))
    rss, xtwr = T.linalg_residual_products(np.zeros((0, 3)), np.zeros(0), np.zeros(0),
                                           np.ones(3))
    assert rss == 0.0
    np.testing.assert_array_equal(xtwr, np.zeros(3))
