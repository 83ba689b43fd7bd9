"""Independent references for the tests: spline bases and penalties rebuilt from their
definitions with NumPy and SciPy, additive regression problems built from them, the ridged
solve of penalized normal systems, finite differences, and memory layouts of the same
values."""
import numpy as np
from scipy.interpolate import BSpline, CubicSpline
from scipy.linalg import block_diag

LAYOUTS = ["C", "F", "strided", "negative"]


def with_layout(a, layout):
    """An array equal to `a` laid out as `layout`; strided gaps hold NaN so stray reads show."""
    a = np.asarray(a, dtype=np.float64)
    if layout in ("C", "F"):
        return np.asarray(a, order=layout)
    if layout == "negative":
        return a[(slice(None, None, -1),) * a.ndim].copy()[(slice(None, None, -1),) * a.ndim]
    big = np.full(tuple(3 * s + 1 for s in a.shape), np.nan)
    view = big[(slice(None, None, 3),) * a.ndim][tuple(slice(0, s) for s in a.shape)]
    view[...] = a
    return view


def cr_basis(x, knots):
    """Natural cubic splines through the unit vectors at `knots`, continued linearly along
    the end secants outside the knot range."""
    k, x = len(knots), np.asarray(x, float)
    out = np.empty((len(x), k))
    for j, e in enumerate(np.eye(k)):
        col = CubicSpline(knots, e, bc_type="natural")(np.clip(x, knots[0], knots[-1]))
        lo, hi = x < knots[0], x > knots[-1]
        col[lo] = e[0] + (x[lo] - knots[0]) * (e[1] - e[0]) / (knots[1] - knots[0])
        col[hi] = e[-1] + (x[hi] - knots[-1]) * (e[-1] - e[-2]) / (knots[-1] - knots[-2])
        out[:, j] = col
    return out


def cr_penalty(knots):
    """D' B^-1 D: the integrated squared second derivative of the interpolating spline."""
    k, h = len(knots), np.diff(knots)
    d, b = np.zeros((k - 2, k)), np.zeros((k - 2, k - 2))
    for i in range(k - 2):
        d[i, i:i + 3] = 1 / h[i], -1 / h[i] - 1 / h[i + 1], 1 / h[i + 1]
        b[i, i] = (h[i] + h[i + 1]) / 3
        if i + 1 < k - 2:
            b[i, i + 1] = b[i + 1, i] = h[i + 1] / 6
    return d.T @ np.linalg.solve(b, d)


def bspline_values(full_knots, points, lo, hi, tol=1e-10):
    """Cubic B-splines on `full_knots`: SciPy's values inside [lo, hi] (points within `tol`
    of an end, and the upper end itself, evaluated just inside), tangent lines outside."""
    spline = BSpline(full_knots, np.eye(len(full_knots) - 4), 3)
    slope = spline.derivative()
    inner_lo = lo + 2 * tol if lo + 2 * tol < hi else np.nextafter(hi, -np.inf)
    inner_hi = hi - 2 * tol if hi - 2 * tol < hi else np.nextafter(hi, -np.inf)
    out = []
    for p in np.asarray(points, float):
        if p < lo - tol or p > hi + tol:
            at = inner_lo if p < lo else inner_hi
            out.append(spline(at) + (p - at) * slope(at))
        else:
            at = inner_lo if p < lo + tol else inner_hi if p > hi - tol or p >= hi else p
            out.append(spline(at))
    return np.array(out)


def embed(blocks):
    """Block penalties embedded in p x p zeros, p the total of their sizes."""
    return [block_diag(*[b if i == j else np.zeros_like(b) for j, b in enumerate(blocks)]) for i in range(len(blocks))]


def scaled(basis, s):
    """The penalty scaled as the fit paths scale it: ||X||_inf^2 / ||S||_inf."""
    return s * np.abs(basis).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max()


SIGNALS = [lambda t: np.sin(2 * np.pi * t), lambda t: 4 * (t - 0.5) ** 2, np.exp, lambda t: 0 * t]


def additive(n, ks, seed=1, noise=0.3, basis="bs", scale=True):
    """(y, X, w = ones, penalties) of sum_j f_j(x_j) + noise with one cubic smooth per
    column: B-splines with second-difference penalties ("bs"), or natural cubic splines
    with their curvature penalty ("cr"), penalties scaled as the fit paths scale them."""
    rng = np.random.default_rng(seed)
    xs = rng.uniform(0, 1, (n, len(ks)))
    y = sum(SIGNALS[j % 4](xs[:, j]) for j in range(len(ks))) + noise * rng.standard_normal(n)
    blocks, pens = [], []
    for j, k in enumerate(ks):
        if basis == "bs":
            h = 1.0 / (k - 3)
            b = BSpline.design_matrix(xs[:, j], np.r_[-3 * h, -2 * h, -h, np.linspace(0, 1, k - 2),
                                                      1 + h, 1 + 2 * h, 1 + 3 * h], 3).toarray()
            d = np.diff(np.eye(k), 2, axis=0)
            s = d.T @ d
        else:
            knots = np.linspace(xs[:, j].min(), xs[:, j].max(), k)
            b, s = cr_basis(xs[:, j], knots), cr_penalty(knots)
        blocks.append(b)
        pens.append(scaled(b, s) if scale else s)
    return y, np.ascontiguousarray(np.hstack(blocks)), np.ones(n), embed(pens)


def ridge(xtwx, m):
    """The ridge of every penalized normal matrix built on X'WX with m smoothing parameters."""
    return 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(xtwx)).max())


def ridged_solve(a, xtwx, m, b):
    """The solve of a beta = b for a penalized normal matrix `a` built on X'WX: through
    a + ridge I, then three refinement steps toward `a` itself."""
    f = a + ridge(xtwx, m) * np.eye(len(a))
    x = np.linalg.solve(f, b)
    for _ in range(3):
        x = x + np.linalg.solve(f, b - a @ x)
    return x


def fd(f, rho, h=1e-4):
    """Central differences of f (scalar or vector valued) along each rho_i, as columns."""
    cols = []
    for i in range(len(rho)):
        e = np.zeros(len(rho))
        e[i] = h
        cols.append((np.asarray(f(rho + e)) - np.asarray(f(rho - e))) / (2 * h))
    return np.array(cols).T


def naive_lu_det(a):
    """det(a) by Gaussian elimination with partial pivoting, the first of equal magnitudes
    taken as the pivot, in the order of operations of a textbook elimination."""
    a = np.array(a, dtype=float)
    n, sign, det = len(a), 1.0, 1.0
    for c in range(n):
        p = c + int(np.argmax(np.abs(a[c:, c])))  # argmax: the first of equal maxima
        if p != c:
            a[[c, p]] = a[[p, c]]
            sign = -sign
        for i in range(c + 1, n):
            f = a[i, c] / a[c, c]
            if f != 0.0:
                a[i, c + 1:] -= f * a[c, c + 1:]
        det *= a[c, c]
    return sign * det
