"""Additive-model test problems for the REML derivative tests.

The cubic regression spline basis and penalty are rebuilt here from their definitions
(natural cubic splines through the unit vectors at evenly spaced knots, and the integrated
squared second derivative D' B^-1 D), independently of the module's own smooth code."""
import numpy as np
from scipy.interpolate import CubicSpline

import _velkan_testing as vt


def cr_basis(x, knots):
    """n x k matrix of the natural cubic splines through the unit vectors at `knots`,
    continued linearly along the end secants outside the knot range."""
    k = len(knots)
    out = np.empty((len(x), k))
    inside = (x >= knots[0]) & (x <= knots[-1])
    for j in range(k):
        e = np.zeros(k)
        e[j] = 1.0
        spline = CubicSpline(knots, e, bc_type="natural")
        col = np.empty(len(x))
        col[inside] = spline(x[inside])
        lo, hi = x < knots[0], x > knots[-1]
        col[lo] = e[0] + (x[lo] - knots[0]) * (e[1] - e[0]) / (knots[1] - knots[0])
        col[hi] = e[-1] + (x[hi] - knots[-1]) * (e[-1] - e[-2]) / (knots[-1] - knots[-2])
        out[:, j] = col
    return out


def cr_penalty(knots):
    """k x k integrated squared second derivative of the interpolating natural spline."""
    k = len(knots)
    h = np.diff(knots)
    d = np.zeros((k - 2, k))
    b = np.zeros((k - 2, k - 2))
    for i in range(k - 2):
        d[i, i], d[i, i + 1], d[i, i + 2] = 1 / h[i], -1 / h[i] - 1 / h[i + 1], 1 / h[i + 1]
        b[i, i] = (h[i] + h[i + 1]) / 3
        if i + 1 < k - 2:
            b[i, i + 1] = b[i + 1, i] = h[i + 1] / 6
    s = d.T @ np.linalg.solve(b, d)
    return 0.5 * (s + s.T)


def additive_problem(rng, n, smooths, k=10, scaled=True, noise=0.3, lo=0.0, hi=1.0):
    """(y, X, penalties): `smooths` cr smooths of size k side by side (no intercept), one
    embedded p x p penalty per smooth, scaled as the fit paths scale them when `scaled`."""
    x = rng.uniform(lo, hi, (n, smooths))
    t = (x - lo) / (hi - lo)
    signal = [np.sin(2 * np.pi * t[:, 0]), (t[:, 1] - 0.5) ** 2 * 4 if smooths > 1 else 0,
              np.exp(t[:, 2]) if smooths > 2 else 0]
    y = sum(signal[:smooths]) + noise * rng.normal(size=n)
    blocks, penalties, p = [], [], k * smooths
    for j in range(smooths):
        knots = np.linspace(x[:, j].min(), x[:, j].max(), k)
        b, s = cr_basis(x[:, j], knots), cr_penalty(knots)
        if scaled:
            s = s * np.abs(b).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max()
        full = np.zeros((p, p))
        full[j * k:(j + 1) * k, j * k:(j + 1) * k] = s
        blocks.append(b)
        penalties.append(full)
    return y, np.hstack(blocks), penalties


def criterion(y, X, w, lambdas, penalties):
    return vt.fit_reml_criterion(y, X, w, [float(v) for v in lambdas], penalties)


def fd_gradient(y, X, w, lambdas, penalties, h=1e-4):
    """Central differences of the REML criterion in rho = log(lambda)."""
    rho = np.log(np.asarray(lambdas, dtype=float))
    g = np.empty(len(rho))
    for i in range(len(rho)):
        up, down = rho.copy(), rho.copy()
        up[i] += h
        down[i] -= h
        g[i] = (criterion(y, X, w, np.exp(up), penalties) -
                criterion(y, X, w, np.exp(down), penalties)) / (2 * h)
    return g
