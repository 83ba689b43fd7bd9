"""The engine's building blocks: the family and basis tables, centring, criteria."""

import math

import numpy as np
import pytest

import velkan
from velkan import _engine as E

T = pytest.importorskip("_velkan_testing").engine

BASES = [b[0] for b in E.bases()]
INFO = {b[0]: b[1:] for b in E.bases()}  # min size, distinct, periodic, columns, margin, shapes


def margin(bs, k, knots):
    return E.MarginSpec(bs, k, np.asarray(knots, dtype=float))


def layout(margins, n_smooths=1, intercept=True):
    spec = [E.TermSpec("intercept")] if intercept else []
    for i in range(n_smooths):
        columns = list(range(i * len(margins), (i + 1) * len(margins)))
        spec.append(E.TermSpec("smooth", columns, [margin(*m) for m in margins]))
    return E.Layout(spec)


def knots_for(bs, k, lo=0.0, hi=1.0):
    """Knots the engine places for a column spread over [lo, hi] (skewed, so that
    quantile knots are not evenly spaced)."""
    x = lo + (hi - lo) * np.linspace(0, 1, 101) ** 1.3
    return E.place_knots(bs, k, lo, hi, np.unique(x), None)


def one_column(bs, k):
    """A layout of one smooth of one column over [0, 1], whatever kind the basis is."""
    if INFO[bs][4]:
        return layout([(bs, k, knots_for(bs, k))], intercept=False)
    points = (np.linspace(0, 1, 101) ** 1.3)[:, None]
    return E.Layout([E.thin_plate_spec([0], points, k, np.array([0.0, 1.0]))])


@pytest.mark.parametrize("bs", BASES)
def test_basis_shape_inside_and_outside_the_range(bs):
    k = 8
    periodic = INFO[bs][2]
    lay = one_column(bs, k)
    inside = np.linspace(0, 1, 201)
    X = lay.design([inside])
    if INFO[bs][4]:
        np.testing.assert_allclose(X.sum(axis=1), 1.0, atol=1e-12)  # partition of unity
    S = lay.penalty_matrix(0)
    w, v = np.linalg.eigh(S)
    null = v[:, np.abs(w) < 1e-9 * w.max()]
    if periodic:
        # the ends meet in value and slope, and outside it repeats
        np.testing.assert_allclose(lay.design([np.array([0.0])]), lay.design([np.array([1.0])]), atol=1e-12)
        np.testing.assert_allclose(lay.design([np.array([0.3])]), lay.design([np.array([2.3])]), atol=1e-12)
        np.testing.assert_array_equal(lay.held_at_ends().design([np.array([2.3])]), lay.design([np.array([2.3])]))
        assert null.shape[1] == 1
        return
    # held at its ends, the basis is unchanged inside and takes its boundary rows outside
    held = lay.held_at_ends()
    np.testing.assert_array_equal(held.design([inside]), X)
    np.testing.assert_array_equal(held.design([np.array([-0.6, -1e300, 1.6, 1e300])]),
                                  lay.design([np.array([0.0, 0.0, 1.0, 1.0])]))
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
    ma, mb = ("ps", 5, [0.0, 1.0]), ("cr", 4, np.linspace(0, 1, 4))
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
        value, grad, _ = T.log_pseudo_determinant(lay, np.array(rho))
        S = np.exp(rho[0]) * lay.penalty_matrix(0) + np.exp(rho[1]) * lay.penalty_matrix(1)
        ev = np.linalg.eigvalsh(S)
        rank = 20 - 2 * 2  # both margins have a two-dimensional null space
        ref = np.sum(np.log(np.sort(ev)[-rank:]))
        if rho[0] - rho[1] < 10:  # the dense reference loses the small eigenvalues otherwise
            v0, _, _ = T.log_pseudo_determinant(lay, np.zeros(2))
            ref0 = np.sum(np.log(np.sort(np.linalg.eigvalsh(lay.penalty_matrix(0) + lay.penalty_matrix(1)))[-rank:]))
            assert value - v0 == pytest.approx(ref - ref0, rel=1e-9)
        assert np.all(np.isfinite(grad)) and grad.sum() == pytest.approx(rank)


def test_centring_reparameterisation():
    rng = np.random.default_rng(4)
    x = rng.uniform(size=300)
    lay = layout([("ps", 9, [x.min(), x.max()])])
    X = lay.design([x])
    lc = lay.centred(X.sum(axis=0))
    assert (lay.width, lc.coefficients, lc.null_space_dimension) == (10, 9, 2)
    beta = rng.normal(size=9)
    raw = lc.expand(beta)
    assert abs((X[:, 1:] @ raw[1:]).sum()) < 1e-10 * np.abs(X @ raw).sum()  # the smooth sums to 0
    A = X.T @ X
    Z = np.column_stack([lc.expand(e) for e in np.eye(9)])
    np.testing.assert_allclose(T.constrain_matrix(lc, A), Z.T @ A @ Z, atol=1e-9)
    np.testing.assert_allclose(T.constrain_vector(lc, raw), Z.T @ raw, atol=1e-12)
    V = np.cov(rng.normal(size=(9, 20)))
    np.testing.assert_allclose(lc.expand_matrix(V), Z @ V @ Z.T, atol=1e-12)


def sums_for(lay, cols, y, family, beta0, w=None):
    s = E.accumulate(lay, cols, y, w, None, E.ResponseModel(family), beta0, True, True, 1)
    return lay.centred(s.column_sums), s


@pytest.mark.parametrize("criterion,scale", [("REML", np.nan), ("REML", 0.7), ("GCV", np.nan), ("UBRE", 0.7)])
def test_criterion_derivatives_match_finite_differences(criterion, scale):
    # A tensor product (two penalties on one block) beside a plain smooth, with weights.
    rng = np.random.default_rng(5)
    n = 400
    x = rng.uniform(size=(n, 3))
    y = np.sin(3 * x[:, 0]) * x[:, 1] + np.cos(4 * x[:, 2]) + 0.3 * rng.normal(size=n)
    w = rng.uniform(0.5, 2.0, size=n)
    spec = [E.TermSpec("intercept"),
            E.TermSpec("smooth", [0, 1], [margin("ps", 5, [0.0, 1.0]), margin("cr", 4, np.linspace(0, 1, 4))]),
            E.TermSpec("smooth", [2], [margin("ps", 8, [0.0, 1.0])])]
    beta0 = np.zeros(1 + 20 + 8)
    beta0[0] = 0.4
    lc, s = sums_for(E.Layout(spec), list(x.T), y, "gaussian", beta0, w)
    rho = np.array([0.5, -1.0, 2.0])
    ev = T.evaluate_criterion(lc, s, beta0, rho, criterion, scale, 2)
    assert ev["defined"]
    h = 1e-5
    g = np.empty(3)
    H = np.empty((3, 3))
    for j in range(3):
        e = h * np.eye(3)[j]
        up = T.evaluate_criterion(lc, s, beta0, rho + e, criterion, scale, 1)
        dn = T.evaluate_criterion(lc, s, beta0, rho - e, criterion, scale, 1)
        g[j] = (up["score"] - dn["score"]) / (2 * h)
        H[j] = (up["gradient"] - dn["gradient"]) / (2 * h)
    np.testing.assert_allclose(ev["gradient"], g, rtol=1e-6, atol=1e-8 * np.abs(g).max())
    np.testing.assert_allclose(ev["hessian"], H, rtol=1e-5, atol=1e-7 * np.abs(H).max())


def accepts(model, y):
    try:
        model.check_support(np.array([y]))
    except ValueError:
        return False
    return True


@pytest.mark.parametrize("family", velkan.families())
def test_every_family_agrees_with_its_generic_composition(rng, family):
    # A family's own forms for its default link (written to stay accurate in the tails)
    # must be the composition of link, variance and unit deviance wherever the latter is
    # accurate, and the support check must name the first response outside the support.
    info = E.families()[velkan.families().index(family)]
    model = E.ResponseModel(family, "", info.parameter_starts)
    y = rng.uniform(0.01, 1.0, size=200)  # inside every family's support
    for i, edge in enumerate((0.0, 1.0)):
        if accepts(model, edge):
            y[i] = edge
    # means spread around the responses, inside every link's domain
    eta = model.link_function(np.clip(y, 0.05, 0.95) ** np.exp(rng.normal(scale=0.5, size=y.size)))
    pw = rng.uniform(0.5, 3.0, size=y.size)
    own = T.working(model, y, eta, pw, False)
    generic = T.working(model, y, eta, pw, True)
    for a, b in zip(own, generic):
        np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-12)
    mu = model.inverse_link(eta)
    np.testing.assert_allclose(own[2], pw * model.unit_deviance(y, mu), rtol=1e-9, atol=1e-12)
    assert np.all(own[2] >= 0) and np.all(model.unit_deviance(mu, mu) == 0.0)
    np.testing.assert_allclose(model.link_function(mu), eta, rtol=1e-9, atol=1e-12)
    bad = y.copy()
    bad[7] = -1.0 if model.info.support_lower >= 0 else np.inf
    with pytest.raises(ValueError, match=rf"y\[107\] = .* outside the support of the {family} family"):
        model.check_support(bad, first_row=100)


def test_family_and_link_refusals():
    with pytest.raises(ValueError, match="unknown family 'negbin'; use one of 'gaussian'"):
        E.ResponseModel("negbin")
    with pytest.raises(ValueError, match="has no link 'cubic'"):
        E.ResponseModel(velkan.families()[0], "cubic")
    for info in E.families():
        for name, lower, upper, _ in info.parameters:
            with pytest.raises(ValueError, match=rf"{name} must lie in \(.*\) for the {info.name} family, got"):
                E.ResponseModel(info.name, "", [upper + 1.0 if math.isfinite(upper) else lower - 1.0])
            with pytest.raises(TypeError, match=f"{name}"):
                velkan._families.CLASSES[info.name](shape=1.0)


def test_knots_agree_with_numpy_and_protocol_objects_pickle(rng):
    import pickle
    x = np.sort(np.unique(rng.lognormal(size=3001)))
    for k in (3, 7, 10, 25):
        np.testing.assert_array_equal(E.place_knots("cr", k, x[0], x[-1], x, None),
                                      np.quantile(x, np.linspace(0.0, 1.0, k)))
        np.testing.assert_array_equal(E.place_knots("cc", k, x[0], x[-1], None, np.array([0.5, 7.25])),
                                      np.linspace(0.5, 7.25, k + 1))
    with pytest.raises(ValueError, match="is constant"):
        E.place_knots("ps", 8, 2.0, 2.0)
    spec = E.TermSpec("smooth", [0], [margin("cr", 7, E.place_knots("cr", 7, x[0], x[-1], x))])
    back = pickle.loads(pickle.dumps(spec))
    assert (back.kind, back.columns, back.margins[0].k) == ("smooth", [0], 7)
    np.testing.assert_array_equal(back.margins[0].knots, spec.margins[0].knots)
    lay = E.Layout([E.TermSpec("intercept"), spec])
    model = pickle.loads(pickle.dumps(E.ResponseModel("poisson")))
    y = rng.poisson(2.0, size=x.size).astype(float)
    a = E.accumulate(lay, [x], y, None, None, model, np.zeros(lay.width), True, True)
    # a thread count far beyond the blocks (from a user or a model file) uses one per block
    many = E.accumulate(lay, [x], y, None, None, model, np.zeros(lay.width), True, True, 2**62)
    np.testing.assert_allclose(many.xtwx, a.xtwx, rtol=1e-12)
    assert E.linear_predictor(lay, [x], np.ones(lay.width), None, x.size, 2**62).shape == x.shape
    halves = [E.accumulate(lay, [x[r]], y[r], None, None, model, np.zeros(lay.width), True, True)
              for r in (slice(0, 1000), slice(1000, None))]
    total = pickle.loads(pickle.dumps(halves[0])) + halves[1]
    np.testing.assert_allclose(total.xtwx, a.xtwx, rtol=1e-12)
    assert total.response.saturated_sum == pytest.approx(a.response.saturated_sum, rel=1e-12)
    assert total.rows == a.rows == x.size
