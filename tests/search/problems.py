"""Small regression problems for the search tests: cubic B-spline blocks with
second-difference penalties, scaled the way the fit paths scale them."""
import numpy as np
from scipy.interpolate import BSpline


def bspline_block(x, k):
    """n x k cubic B-spline basis on [0, 1] with evenly spaced knots."""
    inner = np.linspace(0.0, 1.0, k - 2)
    h = inner[1] - inner[0]
    t = np.r_[-3 * h, -2 * h, -h, inner, 1 + h, 1 + 2 * h, 1 + 3 * h]
    return BSpline.design_matrix(np.clip(x, 0.0, 1.0), t, 3).toarray()


def difference_penalty(k):
    """D'D for second differences: rank k - 2, every row non-zero."""
    d = np.diff(np.eye(k), 2, axis=0)
    return d.T @ d


FUNCTIONS = [
    lambda t: np.sin(2 * np.pi * t),
    lambda t: 4 * (t - 0.5) ** 2,
    lambda t: np.cos(3 * t),
    lambda t: 0 * t,
]


def additive(n, ks, seed=1, noise=0.3, scale=1.0):
    """y = scale * (sum_j f_j(x_j) + noise); returns y, X, w (ones), penalties."""
    rng = np.random.default_rng(seed)
    xs = rng.uniform(0, 1, (n, len(ks)))
    f = sum(FUNCTIONS[j % len(FUNCTIONS)](xs[:, j]) for j in range(len(ks)))
    y = scale * (f + noise * rng.standard_normal(n))
    blocks = [bspline_block(xs[:, j], k) for j, k in enumerate(ks)]
    x = np.ascontiguousarray(np.hstack(blocks))
    p = x.shape[1]
    penalties, offset = [], 0
    for b, k in zip(blocks, ks):
        sk = difference_penalty(k)
        s = np.zeros((p, p))
        s[offset:offset + k, offset:offset + k] = (
            np.abs(b).sum(1).max() ** 2 / np.abs(sk).sum(1).max() * sk)
        penalties.append(s)
        offset += k
    return np.ascontiguousarray(y), x, np.ones(n), penalties
