"""The engine's building blocks through velkan._engine: bases, centring, criteria."""

import numpy as np
import pytest

from velkan import _engine as E


def layout(margins, n_smooths=1, intercept=True):
    spec = [{"kind": "intercept"}] if intercept else []
    for i in range(n_smooths):
        spec.append({"kind": "smooth", "columns": list(range(i * len(margins), (i + 1) * len(margins))),
                     "margins": margins})
    return E.Layout(spec)


KNOTS = {"ps": lambda k: np.array([0.0, 1.0]), "cr": lambda k: np.linspace(0, 1, k) ** 1.3,
         "cc": lambda k: np.linspace(0, 1, k + 1)}


@pytest.mark.parametrize("bs", ["ps", "cr", "cc"])
def test_basis_shape_inside_and_outside_the_range(bs):
    k = 8
    lay = layout([(bs, k, KNOTS[bs](k))], intercept=False)
    inside = np.linspace(0, 1, 201)
    X = lay.design([inside])
    np.testing.assert_allclose(X.sum(axis=1), 1.0, atol=1e-12)  # partition of unity
    S = lay.penalty_matrix(0)
    w, v = np.linalg.eigh(S)
    null = v[:, np.abs(w) < 1e-9 * w.max()]
    if bs == "cc":
        # periodic: the ends meet in value and slope, and outside it repeats
        np.testing.assert_allclose(lay.design([np.array([0.0])]), lay.design([np.array([1.0])]), atol=1e-12)
        np.testing.assert_allclose(lay.design([np.array([0.3])]), lay.design([np.array([2.3])]), atol=1e-12)
        assert null.shape[1] == 1
        return
    # outside the range each function continues along its tangent: zero second differences
    for side in (np.array([-0.6, -0.4, -0.2, 0.0]), np.array([1.0, 1.2, 1.4, 1.6])):
        Y = lay.design([side])
        np.testing.assert_allclose(np.diff(Y, 2, axis=0), 0.0, atol=1e-10)
    # ... with the slope the basis has at the boundary
    h = 1e-6
    inner = (lay.design([np.array([h])]) - lay.design([np.array([0.0])])) / h
    outer = (lay.design([np.array([0.0])]) - lay.design([np.array([-0.5])])) / 0.5
    np.testing.assert_allclose(inner, outer, atol=1e-4)
    # penalty null space: straight lines (design times null vectors is linear in x)
    assert null.shape[1] == 2
    fitted = X @ null
    np.testing.assert_allclose(np.diff(fitted, 2, axis=0), 0.0, atol=1e-9)


def test_tensor_design_and_penalties_are_kronecker_products():
    ma, mb = ("ps", 5, np.array([0.0, 1.0])), ("cr", 4, np.linspace(0, 1, 4))
    lay = layout([ma, mb], intercept=False)
    rng = np.random.default_rng(3)
    xa, xb = rng.uniform(size=7), rng.uniform(size=7)
    A = layout([ma], intercept=False).design([xa])
    B = layout([mb], intercept=False).design([xb])
    X = lay.design([xa, xb])
    np.testing.assert_allclose(X, np.einsum("ia,ib->iab", A, B).reshape(7, -1), atol=1e-14)
    Sa = layout([ma], intercept=False).penalty_matrix(0)
    Sb = layout([mb], intercept=False).penalty_matrix(0)
    np.testing.assert_allclose(lay.penalty_matrix(0), np.kron(Sa, np.eye(4)), atol=1e-12)
    np.testing.assert_allclose(lay.penalty_matrix(1), np.kron(np.eye(5), Sb), atol=1e-12)
    # ln|S_lambda|_+ against eigenvalues of the dense sum, far-apart lambdas included
    for rho in ([0.3, -1.2], [12.0, -9.0]):
        value, grad, _ = lay.log_pseudo_determinant(np.array(rho))
        S = np.exp(rho[0]) * lay.penalty_matrix(0) + np.exp(rho[1]) * lay.penalty_matrix(1)
        ev = np.linalg.eigvalsh(S)
        rank = 20 - 2 * 2  # both margins have a two-dimensional null space
        ref = np.sum(np.log(np.sort(ev)[-rank:]))
        if rho[0] - rho[1] < 10:  # the dense reference loses the small eigenvalues otherwise
            v0, _, _ = lay.log_pseudo_determinant(np.zeros(2))
            ref0 = np.sum(np.log(np.sort(np.linalg.eigvalsh(lay.penalty_matrix(0) + lay.penalty_matrix(1)))[-rank:]))
            assert value - v0 == pytest.approx(ref - ref0, rel=1e-9)
        assert np.all(np.isfinite(grad)) and grad.sum() == pytest.approx(rank)


def test_centring_reparameterisation():
    rng = np.random.default_rng(4)
    x = rng.uniform(size=300)
    lay = layout([("ps", 9, np.array([x.min(), x.max()]))])
    X = lay.design([x])
    lc = lay.centred(X.sum(axis=0))
    assert (lay.width, lc.coefficients, lc.null_space_dimension) == (10, 9, 2)
    beta = rng.normal(size=9)
    raw = lc.expand(beta)
    assert abs((X[:, 1:] @ raw[1:]).sum()) < 1e-10 * np.abs(X @ raw).sum()  # the smooth sums to 0
    A = X.T @ X
    Z = np.column_stack([lc.expand(e) for e in np.eye(9)])
    np.testing.assert_allclose(lc.constrain_matrix(A), Z.T @ A @ Z, atol=1e-9)
    np.testing.assert_allclose(lc.constrain_vector(raw), Z.T @ raw, atol=1e-12)
    V = np.cov(rng.normal(size=(9, 20)))
    np.testing.assert_allclose(lc.expand_matrix(V), Z @ V @ Z.T, atol=1e-12)


def sums_for(lay, cols, y, family, beta0, w=None):
    s = E.accumulate(lay, cols, y, w, None, family, beta0, True, True, 1)
    return lay.centred(s["column_sums"]), s


@pytest.mark.parametrize("criterion,scale", [("REML", np.nan), ("REML", 0.7), ("GCV", np.nan), ("UBRE", 0.7)])
def test_criterion_derivatives_match_finite_differences(criterion, scale):
    # A tensor product (two penalties on one block) beside a plain smooth, with weights.
    rng = np.random.default_rng(5)
    n = 400
    x = rng.uniform(size=(n, 3))
    y = np.sin(3 * x[:, 0]) * x[:, 1] + np.cos(4 * x[:, 2]) + 0.3 * rng.normal(size=n)
    w = rng.uniform(0.5, 2.0, size=n)
    spec = [{"kind": "intercept"},
            {"kind": "smooth", "columns": [0, 1], "margins": [("ps", 5, np.array([0.0, 1.0])), ("cr", 4, np.linspace(0, 1, 4))]},
            {"kind": "smooth", "columns": [2], "margins": [("ps", 8, np.array([0.0, 1.0]))]}]
    beta0 = np.zeros(1 + 20 + 8)
    beta0[0] = 0.4
    lc, s = sums_for(E.Layout(spec), list(x.T), y, "gaussian", beta0, w)
    rho = np.array([0.5, -1.0, 2.0])
    ev = E.evaluate_criterion(lc, s, beta0, rho, criterion, scale, 2)
    assert ev["defined"]
    h = 1e-5
    g = np.empty(3)
    H = np.empty((3, 3))
    for j in range(3):
        e = h * np.eye(3)[j]
        up = E.evaluate_criterion(lc, s, beta0, rho + e, criterion, scale, 1)
        dn = E.evaluate_criterion(lc, s, beta0, rho - e, criterion, scale, 1)
        g[j] = (up["score"] - dn["score"]) / (2 * h)
        H[j] = (up["gradient"] - dn["gradient"]) / (2 * h)
    np.testing.assert_allclose(ev["gradient"], g, rtol=1e-6, atol=1e-8 * np.abs(g).max())
    np.testing.assert_allclose(ev["hessian"], H, rtol=1e-5, atol=1e-7 * np.abs(H).max())
